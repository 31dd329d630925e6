// The list's model: a GListModel that is only a count. Its items are made when the view asks
// for one (only for rows on screen) and carry nothing; the view finds a row's delivery by its
// position in the list's own vector. Changing the count or refreshing a range costs nothing
// per row, so replacing 10,000 rows on a keystroke does not make 10,000 objects.
//
// The main thread only, like the view that reads it.
#pragma once

#include <gio/gio.h>

G_BEGIN_DECLS
#define QBY_TYPE_ROW_MODEL (qby_row_model_get_type())
G_DECLARE_FINAL_TYPE(QBYRowModel, qby_row_model, QBY, ROW_MODEL, GObject)
G_END_DECLS

namespace porvane::app {

// A new model of no rows (transfer full).
QBYRowModel* newRowModel();
guint rowCount(QBYRowModel* model);
// Replaces `removed` rows at `position` with `added` new ones and tells the view.
void spliceRows(QBYRowModel* model, guint position, guint removed, guint added);

}  // namespace porvane::app
