// Assembling a metric line piece by piece. While every piece is ASCII the line is kept as bytes
// in one buffer (no intermediate str objects); a non-ASCII piece switches to str pieces, so the
// finished line, and the error of encoding it, are exactly those of the joined text.
#pragma once

#include "support/ref.hpp"

#include <cstring>
#include <memory>

namespace vantor::stat {

using support::Ref;

// The characters of a compact ASCII str, which follow its header.
inline const char* ascii_chars(PyObject* compact_ascii) {
    return reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(compact_ascii) + 1);
}

class LineBuilder {
public:
    LineBuilder() = default;
    LineBuilder(const LineBuilder&) = delete;
    LineBuilder& operator=(const LineBuilder&) = delete;

    void append_ascii(const char* text, Py_ssize_t length) {
        if (length_ + length + kSlack > capacity_) grow(length + kSlack);
        copy_short(data_ + length_, text, length);
        length_ += length;
    }
    void append_ascii(const char* text) { append_ascii(text, static_cast<Py_ssize_t>(std::strlen(text))); }
    void append_char(char c) {
        if (length_ + 1 + kSlack > capacity_) grow(1 + kSlack);
        data_[length_++] = c;
    }
    // Any str instance.
    void append_str(PyObject* text) {
        if (!pieces_ && PyUnicode_IS_COMPACT_ASCII(text))
            return append_ascii(ascii_chars(text), PyUnicode_GET_LENGTH(text));
        append_other_str(text);
    }
    // The text of an object as a tag value: a str itself, else str(value); small ints and the
    // booleans are written without an intermediate object.
    void append_text_of(PyObject* value);
    // ",tag=value" (the comma only if asked), or ",tag" for a false value, in one step when it
    // needs no Python code: the tag an ASCII str, the value an ASCII str, an int of one machine
    // word, a bool or None. False, with nothing written, for any other tag.
    bool append_plain_tag(PyObject* tag, PyObject* value, bool comma);

    // The length of the ASCII buffer, and a copy of its bytes from `start` on; with append_ascii
    // these let a caller replay what it appended while no str piece was added in between.
    Py_ssize_t ascii_length() const { return length_; }
    void copy_ascii_tail(Py_ssize_t start, char* out) const {
        std::memcpy(out, data_ + start, static_cast<std::size_t>(length_ - start));
    }
    // Whether the whole line is still in the ASCII buffer (no str piece added).
    bool is_ascii() const { return !pieces_; }
    // Empties the line (dropping its str pieces runs no Python code).
    void clear() {
        length_ = 0;
        pieces_ = Ref();
    }
    // Drops what follows the first `length` characters; requires is_ascii().
    void truncate_ascii(Py_ssize_t length) { length_ = length; }
    // Appends again the first `length` characters of the ASCII buffer; requires is_ascii().
    void append_own_start(Py_ssize_t length) {
        if (length_ + length + kSlack > capacity_) grow(length + kSlack);
        std::memcpy(data_ + length_, data_, static_cast<std::size_t>(length));
        length_ += length;
    }

    bool contains_line_feed() const;
    // The line as a str.
    Ref to_str();
    // The line as ASCII bytes; for a non-ASCII line, the UnicodeEncodeError of encoding it.
    Ref to_ascii_bytes();

private:
    // Names and tag texts are short: copied with a few fixed-size moves instead of a call to
    // memcpy. The buffer keeps kSlack bytes spare, so the moves never pass its end.
    static constexpr Py_ssize_t kSlack = 16;
    static void copy_short(char* dst, const char* src, Py_ssize_t length) {
        if (length >= 8 && length <= 16) {
            std::memcpy(dst, src, 8);
            std::memcpy(dst + length - 8, src + length - 8, 8);
        } else if (length >= 4 && length < 8) {
            std::memcpy(dst, src, 4);
            std::memcpy(dst + length - 4, src + length - 4, 4);
        } else if (length < 4) {
            for (Py_ssize_t i = 0; i < length; ++i) dst[i] = src[i];
        } else {
            std::memcpy(dst, src, static_cast<std::size_t>(length));
        }
    }

    void grow(Py_ssize_t extra);
    void append_other_str(PyObject* text);
    void flush_to_pieces();

    char stack_[256];
    std::unique_ptr<char[]> heap_;
    char* data_ = stack_;
    Py_ssize_t length_ = 0;
    Py_ssize_t capacity_ = sizeof(stack_);
    Ref pieces_;  // list of str, once a non-ASCII piece was seen
};

// The truth value of an object, with the common exact types decided inline; others ask the
// interpreter (which may run Python code and may raise).
inline bool truth_of(PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False || value == Py_None) return false;
    if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) != 0;
#if PY_VERSION_HEX < 0x030C0000
    if (PyLong_CheckExact(value)) return Py_SIZE(value) != 0;
#endif
    if (PyDict_CheckExact(value)) return PyDict_GET_SIZE(value) != 0;
    return support::require(PyObject_IsTrue(value)) != 0;
}

// A decimal integer in ASCII into `out` (at least 24 bytes); returns the length, or -1 when the
// int does not fit in a long long (the caller then formats it through the interpreter).
Py_ssize_t format_small_int(PyObject* exact_int, char* out);

// "%0.6f" of a double, as the interpreter's %-formatting writes it; returns the length.
// `out` must hold at least 330 bytes.
Py_ssize_t format_seconds(double seconds, char* out);

}  // namespace vantor::stat
