// How alike two short texts are, word by word, so that a tracking line reworded only in case or
// punctuation is not reported as news.
//
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace qby {

// The text without ":", ";", "," and ".".
std::string stripPunctuation(std::string_view text);
// 2 when both texts are the same after lower-casing, stripping punctuation and trimming; 1 when
// more than 70% of the words match in order (of the larger word count); else 0.
int similarityToString(std::string_view text, std::string_view other);

}  // namespace qby
