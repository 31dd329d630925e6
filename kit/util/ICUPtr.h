// Owning pointers for the objects of ICU's C interface (converters, charset detectors, texts).
// ICU's C++ objects need none: std::unique_ptr deletes them as it is.
//
// Threads: any; each owner is a plain value, and ICU objects are used by one thread at a time.
#pragma once

#include <unicode/ucnv.h>
#include <unicode/ucsdet.h>
#include <unicode/utext.h>

#include <memory>

namespace qby {

struct UConverterDeleter {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using UConverterPtr = std::unique_ptr<UConverter, UConverterDeleter>;

struct UCharsetDetectorDeleter {
  void operator()(UCharsetDetector* detector) const { ucsdet_close(detector); }
};
using UCharsetDetectorPtr = std::unique_ptr<UCharsetDetector, UCharsetDetectorDeleter>;

struct UTextDeleter {
  void operator()(UText* text) const { utext_close(text); }
};
using UTextPtr = std::unique_ptr<UText, UTextDeleter>;

}  // namespace qby
