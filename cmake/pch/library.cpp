// The unit the library family's precompiled header is built with; it has no code of its own.
