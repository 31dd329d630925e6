// Owning pointers for libplist: nodes, the buffers its writers hand out, and the C strings and
// iterators it allocates with malloc (keys, dictionary iterators). Only the property-list
// conversion includes this header.
//
// Threads: any; each owner is a plain value.
#pragma once

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

namespace qby {

struct PlistDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
// A node with its children (plist_t is a void pointer).
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct PlistXMLBufferDeleter {
  void operator()(char* buffer) const { plist_to_xml_free(buffer); }
};
// The text plist_to_xml writes.
using PlistXMLBufferPtr = std::unique_ptr<char, PlistXMLBufferDeleter>;

struct PlistBinaryBufferDeleter {
  void operator()(char* buffer) const { plist_to_bin_free(buffer); }
};
// The bytes plist_to_bin writes.
using PlistBinaryBufferPtr = std::unique_ptr<char, PlistBinaryBufferDeleter>;

struct PlistMallocDeleter {
  void operator()(void* memory) const { std::free(memory); }
};
// What libplist 2.2 allocates with malloc and leaves to the caller: the texts of keys and
// strings, and dictionary iterators.
template <typename T>
using PlistMallocPtr = std::unique_ptr<T, PlistMallocDeleter>;

}  // namespace qby
