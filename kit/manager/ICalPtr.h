// Owning pointers for libical: components (with their children) and the texts it allocates
// for the caller. libical is linked into the manager only, so this header lives with it.
//
// Threads: any; each owner is a plain value.
#pragma once

#include <libical/ical.h>

#include <memory>

namespace qby {

struct ICalComponentDeleter {
  void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
using ICalComponentPtr = std::unique_ptr<icalcomponent, ICalComponentDeleter>;

struct ICalBufferDeleter {
  void operator()(char* buffer) const { icalmemory_free_buffer(buffer); }
};
// A text libical hands over (the *_r functions).
using ICalBufferPtr = std::unique_ptr<char, ICalBufferDeleter>;

}  // namespace qby
