// Case- and diacritic-folding of texts, so that word search finds "Zürich" when the user types
// "zurich" and "ÉCOLE" when they type "ecole". The store registers the same folding as the
// SQL function qby_fold(text); records that keep a folded copy of a text (the delivery's search
// text) fill it with foldForSearch, so stored copies and query words always agree.
//
// Any thread.
#pragma once

#include <string>
#include <string_view>

namespace qby {

// The text decomposed, without its combining marks (accents, umlauts, cedillas), recomposed
// and case-folded ("Straße" and "STRASSE" both become "strasse"). Invalid UTF-8 sequences
// become U+FFFD; the result is valid UTF-8.
std::string foldForSearch(std::string_view text);

}  // namespace qby
