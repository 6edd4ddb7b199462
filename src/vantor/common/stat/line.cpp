// The metric line buffer and the number formatting used on the send path.
#include "line.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace vantor::stat {

using support::require;
using support::throw_error;

void LineBuilder::grow(Py_ssize_t extra) {
    Py_ssize_t capacity = capacity_ * 2;
    while (capacity < length_ + extra) capacity *= 2;
    auto grown = std::make_unique<char[]>(static_cast<std::size_t>(capacity));
    std::memcpy(grown.get(), data_, static_cast<std::size_t>(length_));
    heap_ = std::move(grown);
    data_ = heap_.get();
    capacity_ = capacity;
}

void LineBuilder::flush_to_pieces() {
    if (length_ == 0) return;
    Ref piece = Ref::steal(PyUnicode_DecodeASCII(data_, length_, nullptr));
    require(PyList_Append(pieces_.get(), piece.get()));
    length_ = 0;
}

void LineBuilder::append_other_str(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    require(PyUnicode_READY(text));
#endif
    if (!pieces_ && PyUnicode_IS_ASCII(text)) {
        append_ascii(static_cast<const char*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text));
        return;
    }
    if (!pieces_) pieces_ = Ref::steal(PyList_New(0));
    flush_to_pieces();
    require(PyList_Append(pieces_.get(), text));
}

namespace {

// The value of an int that fits one internal digit, read in place; false for larger ones.
bool compact_value(PyObject* exact_int, long long& value) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(exact_int))) return false;
    value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(exact_int));
    return true;
#else
    const Py_ssize_t size = Py_SIZE(exact_int);
    if (size < -1 || size > 1) return false;
    value = size * static_cast<long long>(reinterpret_cast<PyLongObject*>(exact_int)->ob_digit[0]);
    return true;
#endif
}

}  // namespace

VANTOR_HOT Py_ssize_t format_small_int(PyObject* exact_int, char* out) {
    long long v;
    if (!compact_value(exact_int, v)) {
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
        if (overflow) return -1;
        if (v == -1 && PyErr_Occurred()) throw_error();
    }
    auto [end, ec] = std::to_chars(out, out + 24, v);
    (void)ec;
    return end - out;
}

VANTOR_HOT void LineBuilder::append_text_of(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return append_str(value);
    if (value == Py_True) return append_ascii("True", 4);
    if (PyLong_CheckExact(value)) {
        char digits[24];
        Py_ssize_t n = format_small_int(value, digits);
        if (n >= 0) return append_ascii(digits, n);
    }
    Ref text = Ref::steal(PyObject_Str(value));
    append_str(text.get());
}

VANTOR_HOT bool LineBuilder::append_plain_tag(PyObject* tag, PyObject* value, bool comma) {
    if (pieces_ || !PyUnicode_CheckExact(tag) || !PyUnicode_IS_COMPACT_ASCII(tag)) return false;
    const char* text = nullptr;
    Py_ssize_t text_length = 0;  // 0: a false value, written as the bare tag
    char digits[24];
    if (value == Py_True) {
        text = "True";
        text_length = 4;
    } else if (value == Py_False || value == Py_None) {
    } else if (PyUnicode_CheckExact(value)) {
        if (!PyUnicode_IS_COMPACT_ASCII(value)) return false;
        text = ascii_chars(value);
        text_length = PyUnicode_GET_LENGTH(value);
    } else if (PyLong_CheckExact(value)) {
        text_length = format_small_int(value, digits);
        if (text_length < 0) return false;
        text = digits;
        if (text_length == 1 && digits[0] == '0') text_length = 0;  // 0 is false: the bare tag
    } else {
        return false;
    }
    const Py_ssize_t tag_length = PyUnicode_GET_LENGTH(tag);
    const Py_ssize_t needed = 2 + tag_length + text_length;
    if (length_ + needed + kSlack > capacity_) grow(needed + kSlack);
    // Written through a local cursor: the buffer's fields are read and written once.
    char* p = data_ + length_;
    if (comma) *p++ = ',';
    copy_short(p, ascii_chars(tag), tag_length);
    p += tag_length;
    if (text_length > 0) {
        *p++ = '=';
        copy_short(p, text, text_length);
        p += text_length;
    }
    length_ = p - data_;
    return true;
}

VANTOR_HOT bool LineBuilder::contains_line_feed() const {
    if (std::memchr(data_, '\n', static_cast<std::size_t>(length_)) != nullptr) return true;
    if (!pieces_) return false;
    const Py_ssize_t n = PyList_GET_SIZE(pieces_.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* piece = PyList_GET_ITEM(pieces_.get(), i);
        if (PyUnicode_FindChar(piece, '\n', 0, PyUnicode_GET_LENGTH(piece), 1) >= 0) return true;
    }
    return false;
}

Ref LineBuilder::to_str() {
    if (!pieces_) return Ref::steal(PyUnicode_DecodeASCII(data_, length_, nullptr));
    flush_to_pieces();
    Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
    return Ref::steal(PyUnicode_Join(empty.get(), pieces_.get()));
}

VANTOR_HOT Ref LineBuilder::to_ascii_bytes() {
    if (!pieces_) return Ref::steal(PyBytes_FromStringAndSize(data_, length_));
    Ref line = to_str();
    return Ref::steal(PyUnicode_AsASCIIString(line.get()));
}

namespace {

// "%0.6f" for |seconds| < 2**100 in exact integer arithmetic: seconds is m * 2**e with m an integer
// of at most 53 bits, so seconds * 10**6 is (m * 10**6) * 2**e, which 128 bits hold; it is rounded
// to an integer half to even, as the interpreter's correctly rounded formatting does.
Py_ssize_t format_seconds_exact(double magnitude, bool negative, char* out) {
    int exponent;
    const double fraction = std::frexp(magnitude, &exponent);  // magnitude = fraction * 2**exponent
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    const int shift = 53 - exponent;  // magnitude = mantissa / 2**shift
    const unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * 1000000u;  // < 2**73
    unsigned __int128 micros;
    if (shift <= 0) {
        micros = scaled << -shift;
    } else if (shift >= 74) {
        micros = 0;  // below half a microsecond, whatever the mantissa
    } else {
        micros = scaled >> shift;
        const unsigned __int128 rest = scaled & ((static_cast<unsigned __int128>(1) << shift) - 1);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        if (rest > half || (rest == half && (micros & 1))) ++micros;
    }
    char digits[48];
    int n = 0;
    unsigned __int128 whole = micros / 1000000u;
    auto frac = static_cast<unsigned>(micros % 1000000u);
    for (int i = 0; i < 6; ++i, frac /= 10) digits[n++] = static_cast<char>('0' + frac % 10);
    digits[n++] = '.';
    do {
        digits[n++] = static_cast<char>('0' + static_cast<unsigned>(whole % 10));
        whole /= 10;
    } while (whole != 0);
    char* p = out;
    if (negative) *p++ = '-';
    while (n > 0) *p++ = digits[--n];
    return p - out;
}

}  // namespace

VANTOR_HOT Py_ssize_t format_seconds(double seconds, char* out) {
    // The interpreter writes a NaN without its sign, and the infinities as inf / -inf.
    if (std::isnan(seconds)) {
        std::memcpy(out, "nan", 3);
        return 3;
    }
    if (std::isinf(seconds)) {
        const char* text = seconds < 0 ? "-inf" : "inf";
        std::size_t n = std::strlen(text);
        std::memcpy(out, text, n);
        return static_cast<Py_ssize_t>(n);
    }
    const double magnitude = std::fabs(seconds);
    if (magnitude < 0x1p100) return format_seconds_exact(magnitude, std::signbit(seconds), out);
    // Correctly rounded (ties to even on the exact binary value), as the interpreter's dtoa.
    auto [end, ec] = std::to_chars(out, out + 330, seconds, std::chars_format::fixed, 6);
    (void)ec;
    return end - out;
}

}  // namespace vantor::stat
