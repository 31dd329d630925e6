#include "store/core/QBYTextFolding.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace qby {

std::string foldForSearch(std::string_view text) {
  // ASCII needs no normalisation: fold it directly, which is the common case for tracking
  // numbers and carrier names.
  bool ascii = true;
  for (const unsigned char c : text) {
    if (c >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    std::string out(text);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
  }

  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::string(text);

  const icu::UnicodeString source = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  icu::UnicodeString decomposed = nfd->normalize(source, status);
  if (U_FAILURE(status)) return std::string(text);

  icu::UnicodeString stripped;
  for (int32_t i = 0; i < decomposed.length();) {
    const UChar32 c = decomposed.char32At(i);
    if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
    i += U16_LENGTH(c);
  }
  icu::UnicodeString folded = nfc->normalize(stripped, status);
  if (U_FAILURE(status)) folded = stripped;
  folded.foldCase();

  std::string out;
  folded.toUTF8String(out);
  return out;
}

}  // namespace qby
