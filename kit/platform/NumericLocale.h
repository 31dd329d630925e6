// Puts the calling thread into the "C" numeric locale while it lives. Numbers in log lines,
// JSON and property lists are written and read with a decimal point whatever locale the
// program chose (GTK programs adopt the user's, where "1,5" may be the norm), and C libraries
// that call printf or strtod inside do not see the user's locale either.
//
// Thread-local (uselocale), so other threads keep their locale. Internal to the platform layer.
#pragma once

#include <locale.h>

namespace qby {

class NumericLocaleScope {
 public:
  NumericLocaleScope() {
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    if (cLocale) previous_ = uselocale(cLocale);
  }
  ~NumericLocaleScope() {
    if (previous_) uselocale(previous_);
  }
  NumericLocaleScope(const NumericLocaleScope&) = delete;
  NumericLocaleScope& operator=(const NumericLocaleScope&) = delete;

 private:
  locale_t previous_ = static_cast<locale_t>(0);
};

}  // namespace qby
