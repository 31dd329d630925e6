// Turns the bytes of a web response into UTF-8 text for the tracking scripts. Carrier pages
// still come in many legacy encodings, declared (or not) in the Content-Type header or by the
// script's "encoding" option, so the declared name is trusted first and the bytes are checked
// against it; only when they are not valid in it does charset detection get a say.
//
// Order of trust:
// 1. A byte-order mark (UTF-8, UTF-16BE, UTF-16LE) wins over any declared name and is removed.
// 2. The declared IANA name or alias ("ISO-8859-1", "latin1", "windows-1252", "Shift_JIS",
//    "UTF-16", quoted or not) when ICU knows it; no name or an unknown one means UTF-8.
// 3. When the bytes are not valid in that encoding: the candidates of ICU's charset detection,
//    best first, each checked as strictly as step 2.
// 4. When none of them fits: the encoding of step 2 with every invalid sequence replaced by
//    U+FFFD, reported as lossy.
// Empty data decodes to empty text. Inputs beyond 2 GiB are decoded in pieces, so size is no
// limit; detection looks at the first 64 KiB only.
//
// Pure function; any thread may call it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qby {

struct QBYDecodedText {
  // The text in UTF-8; nothing when no encoding could decode the data.
  std::optional<std::string> text;
  // The IANA name of the encoding that was used (e.g. "UTF-8", "Shift_JIS").
  std::string encoding;
  // True when invalid sequences were replaced.
  bool lossy = false;
};

// Decodes a response body to UTF-8: the IANA name (from the "encoding" option or the
// response's charset) when ICU knows it, else UTF-8; ICU charset detection only as fallback
// when the data is not valid in that encoding. No text when nothing decodes.
QBYDecodedText decodeResponseData(std::string_view data,
                                  const std::optional<std::string>& ianaName);

}  // namespace qby
