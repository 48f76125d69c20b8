#include "lib/window_mode.h"

#include <cstdint>

#include "lib/py_ref.h"

namespace velkan::py {

namespace {

bool is_white_space(std::uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Length of the UTF-8 sequence starting with `lead` (the text is valid UTF-8).
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead >> 5) == 0x6) return 2;
  if ((lead >> 4) == 0xE) return 3;
  return 4;
}

std::uint32_t decode(const std::string& s, std::size_t at, std::size_t length) {
  static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  std::uint32_t cp = static_cast<unsigned char>(s[at]) & kLeadMask[length];
  for (std::size_t i = 1; i < length; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[at + i]) & 0x3F);
  return cp;
}

}  // namespace

std::string normalise_window_mode(const std::string& utf8) {
  // Split into code points, then drop white space from both ends.
  std::size_t begin = 0, end = 0, at = 0;
  bool seen_text = false;
  while (at < utf8.size()) {
    std::size_t length = sequence_length(static_cast<unsigned char>(utf8[at]));
    if (at + length > utf8.size()) length = utf8.size() - at;
    if (!is_white_space(decode(utf8, at, length))) {
      if (!seen_text) begin = at;
      seen_text = true;
      end = at + length;
    }
    at += length;
  }
  std::string trimmed = seen_text ? utf8.substr(begin, end - begin) : std::string();
  for (char& ch : trimmed)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return trimmed;
}

WindowMode parse_window_mode(const std::string& utf8) {
  std::string mode = normalise_window_mode(utf8);
  if (mode == "circular") return WindowMode::Circular;
  if (mode == "square") return WindowMode::Square;
  raise_error(PyExc_ValueError, "Invalid window_mode '" + mode + "'. Expected 'square' or 'circular'.");
}

}  // namespace velkan::py
