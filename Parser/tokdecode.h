// Source encodings for the tokenizer: the encoding declaration and the
// decoders that turn a declared encoding into UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace zv {

// Looks for an encoding declaration in one line (not NUL-terminated, `size`
// bytes).  Returns the normalized name, or an empty string when the line
// declares nothing.
std::string find_coding_spec(const char *line, size_t size);

// True for the encodings whose bytes the tokenizer passes on unchanged
// (the compiler decodes their literals): "utf-8" and "iso-8859-1".
bool encoding_passes_through(const std::string &name);

// Decodes `n` bytes from `encoding` and appends them to `out` as UTF-8.
// Returns false with an exception set (LookupError for an unknown
// encoding, UnicodeDecodeError for bad input).
bool decode_to_utf8(const std::string &encoding, const char *s, size_t n, std::string &out);

} // namespace zv
