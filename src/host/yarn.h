// String toolkit of the host base layer. All texts are NUL-terminated byte
// strings; nothing here looks at an encoding.
#ifndef KESTREL_HOST_YARN_H
#define KESTREL_HOST_YARN_H

#include <cstddef>

namespace Corvus {

namespace yarn_detail {
struct Out {
  char* text;
  std::size_t capacity;  // bytes, the terminating NUL included
};
bool separate(const char* text, char separator, Out* outs, int count);
constexpr std::size_t bound(std::size_t array_size, int size) {
  return size <= 0 ? 1 : (static_cast<std::size_t>(size) < array_size ? static_cast<std::size_t>(size) : array_size);
}
}  // namespace yarn_detail

// Splits `text` at `separator`: each output but the last receives, in order,
// the text before the next separator; the last output receives everything
// after the separator before it, further separators included. When the text
// runs out of separators, the output in turn receives the rest and every
// later output the empty text. Each output is bounded by its own array and by
// `size`, whichever is smaller; a part that does not fit is cut, and the
// result then is false (true when every part fitted). The last output may be
// `text` itself; the other outputs must not overlap it.
template <std::size_t N1, std::size_t N2>
bool Yarn_Seperate_Char(const char* text, char separator, char (&out1)[N1], char (&out2)[N2],
                        int size) {
  yarn_detail::Out outs[] = {{out1, yarn_detail::bound(N1, size)},
                             {out2, yarn_detail::bound(N2, size)}};
  return yarn_detail::separate(text, separator, outs, 2);
}
template <std::size_t N1, std::size_t N2, std::size_t N3>
bool Yarn_Seperate_Char(const char* text, char separator, char (&out1)[N1], char (&out2)[N2],
                        char (&out3)[N3], int size) {
  yarn_detail::Out outs[] = {{out1, yarn_detail::bound(N1, size)},
                             {out2, yarn_detail::bound(N2, size)},
                             {out3, yarn_detail::bound(N3, size)}};
  return yarn_detail::separate(text, separator, outs, 3);
}
template <std::size_t N1, std::size_t N2, std::size_t N3, std::size_t N4>
bool Yarn_Seperate_Char(const char* text, char separator, char (&out1)[N1], char (&out2)[N2],
                        char (&out3)[N3], char (&out4)[N4], int size) {
  yarn_detail::Out outs[] = {{out1, yarn_detail::bound(N1, size)},
                             {out2, yarn_detail::bound(N2, size)},
                             {out3, yarn_detail::bound(N3, size)},
                             {out4, yarn_detail::bound(N4, size)}};
  return yarn_detail::separate(text, separator, outs, 4);
}
template <std::size_t N1, std::size_t N2, std::size_t N3, std::size_t N4, std::size_t N5>
bool Yarn_Seperate_Char(const char* text, char separator, char (&out1)[N1], char (&out2)[N2],
                        char (&out3)[N3], char (&out4)[N4], char (&out5)[N5], int size) {
  yarn_detail::Out outs[] = {{out1, yarn_detail::bound(N1, size)},
                             {out2, yarn_detail::bound(N2, size)},
                             {out3, yarn_detail::bound(N3, size)},
                             {out4, yarn_detail::bound(N4, size)},
                             {out5, yarn_detail::bound(N5, size)}};
  return yarn_detail::separate(text, separator, outs, 5);
}

// Converts `text` into a double. True only when the whole text is one number
// in plain or exponent form ("12", "-0.5", "+3.", ".25", "1e-3", "2.5E+07")
// with an optional sign: no blanks, no trailing characters, not empty, no
// hexadecimal. A number is finite: "nan", "inf" and "infinity" (any case, any
// sign, any NaN payload) are refused, and so is a value too large for a
// double; one too small becomes 0 or a denormal. Independent of the
// process locale. With min and max both 0 no range test is made; otherwise the
// value must lie within [min, max]. `*out` is written only on success.
bool Yarn_To_Double(const char* text, double min, double max, double* out);

// Converts `text` into an int. True only when the whole text is a decimal
// whole number with an optional sign, within the range of int: no blanks, no
// decimal point, no trailing characters, not empty. With min and max both 0 no
// range test is made; otherwise the value must lie within [min, max]. `*out`
// is written only on success.
bool Yarn_To_Int(const char* text, int min, int max, int* out);

// True when both texts are byte for byte equal (case counts).
bool Yarn_Compare_L(const char* a, const char* b);

// True when `part` occurs in `text` (case counts); an empty part always does.
bool Yarn_Find_SubString_L(const char* text, const char* part);

// Appends `source` to `destination` in place and returns `destination`. The
// caller guarantees the room.
char* Yarn_Cat(char* destination, const char* source);

// Removes the last occurrence of `part` from `text` in place (nothing when it
// does not occur or is empty).
void Yarn_Remove(char* text, const char* part);

// Takes a framed line apart in place: "<content>" followed by line-end bytes
// becomes "content". A missing '<' or '>' is simply not removed.
void Yarn_Remove_Bracket(char* text);

}  // namespace Corvus

#endif  // KESTREL_HOST_YARN_H
