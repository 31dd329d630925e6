#include "QBYRowModel.h"

#include <gtk/gtk.h>

struct _QBYRowModel {
  GObject parent_instance;
  guint count;
};

namespace {

GType itemType(GListModel*) {
  return GTK_TYPE_STRING_OBJECT;
}

guint itemCount(GListModel* model) {
  return QBY_ROW_MODEL(model)->count;
}

gpointer item(GListModel* model, guint position) {
  if (position >= QBY_ROW_MODEL(model)->count) return nullptr;
  return gtk_string_object_new("");
}

void listModelInit(GListModelInterface* iface) {
  iface->get_item_type = itemType;
  iface->get_n_items = itemCount;
  iface->get_item = item;
}

}  // namespace

G_DEFINE_TYPE_WITH_CODE(QBYRowModel, qby_row_model, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(G_TYPE_LIST_MODEL, listModelInit))

static void qby_row_model_class_init(QBYRowModelClass*) {}

static void qby_row_model_init(QBYRowModel* model) {
  model->count = 0;
}

namespace porvane::app {

QBYRowModel* newRowModel() {
  return QBY_ROW_MODEL(g_object_new(QBY_TYPE_ROW_MODEL, nullptr));
}

guint rowCount(QBYRowModel* model) {
  return model->count;
}

void spliceRows(QBYRowModel* model, guint position, guint removed, guint added) {
  if (position > model->count || removed > model->count - position) return;
  model->count = model->count - removed + added;
  if (removed || added) g_list_model_items_changed(G_LIST_MODEL(model), position, removed, added);
}

}  // namespace porvane::app
