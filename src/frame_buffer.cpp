#include "frame_buffer.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "frame_errors.hpp"
#include "utils/series_block.hpp"

namespace rainmill::py {

namespace {

// Only these exact types are read through their buffer: their iteration is
// known to yield items whose float() is the value stored in the buffer. An
// immutable type cannot be a class written in Python, so a Python class that
// borrows the module and name of one of them never gets here.
bool reads_as_buffer(PyTypeObject* type) {
    if (type == &PyMemoryView_Type) return true;
    if (!PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) return false;
    return std::strcmp(type->tp_name, "numpy.ndarray") == 0 ||
           std::strcmp(type->tp_name, "array.array") == 0;
}

enum class ItemKind { signed_integer, unsigned_integer, floating, boolean };

struct ItemFormat {
    ItemKind kind;
    Py_ssize_t size;
};

// A single-item struct format in native byte order ("d", "@d", "=d", "<d" on
// a little-endian machine). Standard-size prefixes give "l" four bytes; the
// size the exporter reports must agree with the format.
std::optional<ItemFormat> parse_format(const char* format, Py_ssize_t itemsize) {
    if (format == nullptr) return std::nullopt;  // unsigned bytes, as a bytes object reads
    bool standard = false;
    if (*format == '@') {
        ++format;
    } else if (*format == '=' || (*format == '<' && std::endian::native == std::endian::little)) {
        standard = true;
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
    const auto native_or = [standard](Py_ssize_t native, Py_ssize_t fixed) {
        return standard ? fixed : native;
    };
    ItemFormat item{};
    switch (format[0]) {
        case 'b':
            item = {ItemKind::signed_integer, 1};
            break;
        case 'B':
            item = {ItemKind::unsigned_integer, 1};
            break;
        case 'h':
            item = {ItemKind::signed_integer, native_or(sizeof(short), 2)};
            break;
        case 'H':
            item = {ItemKind::unsigned_integer, native_or(sizeof(short), 2)};
            break;
        case 'i':
            item = {ItemKind::signed_integer, native_or(sizeof(int), 4)};
            break;
        case 'I':
            item = {ItemKind::unsigned_integer, native_or(sizeof(int), 4)};
            break;
        case 'l':
            item = {ItemKind::signed_integer, native_or(sizeof(long), 4)};
            break;
        case 'L':
            item = {ItemKind::unsigned_integer, native_or(sizeof(long), 4)};
            break;
        case 'q':
            item = {ItemKind::signed_integer, 8};
            break;
        case 'Q':
            item = {ItemKind::unsigned_integer, 8};
            break;
        case 'e':
            item = {ItemKind::floating, 2};
            break;
        case 'f':
            item = {ItemKind::floating, 4};
            break;
        case 'd':
            item = {ItemKind::floating, 8};
            break;
        case '?':
            item = {ItemKind::boolean, 1};
            break;
        default:
            return std::nullopt;
    }
    if (item.size != itemsize) return std::nullopt;
    return item;
}

// IEEE binary16 widened exactly, NaN payloads kept as NumPy keeps them.
double half_to_double(std::uint16_t half) {
    const std::uint64_t sign = static_cast<std::uint64_t>(half & 0x8000U) << 48;
    const unsigned exponent = (half >> 10) & 0x1FU;
    const std::uint64_t mantissa = half & 0x3FFU;
    if (exponent == 0x1F) {
        return std::bit_cast<double>(sign | 0x7FF0000000000000ULL | (mantissa << 42));
    }
    if (exponent == 0) {
        // Zero or subnormal: mantissa * 2**-24, exact in a double.
        const double magnitude = static_cast<double>(mantissa) * 0x1p-24;
        return sign != 0 ? -magnitude : magnitude;
    }
    return std::bit_cast<double>(sign | (static_cast<std::uint64_t>(exponent - 15 + 1023) << 52) |
                                 (mantissa << 42));
}

template <class T>
double item_to_double(T item) {
    return static_cast<double>(item);
}

struct Half {
    std::uint16_t bits;
};

template <>
double item_to_double(Half item) {
    return half_to_double(item.bits);
}

// Read as a byte: any nonzero byte is true, as the array's own items read.
struct Boolean {
    unsigned char byte;
};

template <>
double item_to_double(Boolean item) {
    return item.byte != 0 ? 1.0 : 0.0;
}

template <class T>
void read_items(const char* base, Py_ssize_t count, Py_ssize_t stride,
                std::vector<double>& values) {
    Py_ssize_t done = 0;
    while (done < count) {
        const Py_ssize_t chunk_end =
            std::min(count, done + static_cast<Py_ssize_t>(kItemsPerSignalCheck));
        for (; done < chunk_end; ++done) {
            // Unaligned-safe: an exporter may hand out any address.
            T item;
            std::memcpy(&item, base + done * stride, sizeof(T));
            values.push_back(item_to_double(item));
        }
        check_signals();
    }
}

void copy_doubles(const char* base, Py_ssize_t count, std::vector<double>& values) {
    const bool aligned = reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0;
    std::size_t done = 0;
    const auto total = static_cast<std::size_t>(count);
    while (done < total) {
        const std::size_t chunk = std::min(total - done, kItemsPerSignalCheck * 16);
        if (aligned) {
            // One memmove into reserved capacity, without zeroing it first.
            const double* first = reinterpret_cast<const double*>(base) + done;
            values.insert(values.end(), first, first + chunk);
        } else {
            const std::size_t old_size = values.size();
            values.resize(old_size + chunk);
            std::memcpy(values.data() + old_size, base + done * sizeof(double),
                        chunk * sizeof(double));
        }
        done += chunk;
        check_signals();
    }
}

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (acquired_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* object) {
        acquired_ = PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0;
        return acquired_;
    }
    const Py_buffer& get() const { return view_; }

private:
    Py_buffer view_{};
    bool acquired_ = false;
};

void read_buffer(const Py_buffer& view, ItemFormat format, std::vector<double>& values) {
    const Py_ssize_t count = view.shape[0];
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const char* base = static_cast<const char*>(view.buf);
    reserve_series(values, static_cast<std::size_t>(count));
    switch (format.kind) {
        case ItemKind::floating:
            if (format.size == 8 && stride == 8) return copy_doubles(base, count, values);
            if (format.size == 8) return read_items<double>(base, count, stride, values);
            if (format.size == 4) return read_items<float>(base, count, stride, values);
            return read_items<Half>(base, count, stride, values);
        case ItemKind::boolean:
            return read_items<Boolean>(base, count, stride, values);
        case ItemKind::signed_integer:
            if (format.size == 1) return read_items<std::int8_t>(base, count, stride, values);
            if (format.size == 2) return read_items<std::int16_t>(base, count, stride, values);
            if (format.size == 4) return read_items<std::int32_t>(base, count, stride, values);
            return read_items<std::int64_t>(base, count, stride, values);
        case ItemKind::unsigned_integer:
            if (format.size == 1) return read_items<std::uint8_t>(base, count, stride, values);
            if (format.size == 2) return read_items<std::uint16_t>(base, count, stride, values);
            if (format.size == 4) return read_items<std::uint32_t>(base, count, stride, values);
            return read_items<std::uint64_t>(base, count, stride, values);
    }
}

}  // namespace

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw ErrorPending{};
}

bool read_numeric_buffer(PyObject* object, std::vector<double>& values) {
    if (!reads_as_buffer(Py_TYPE(object))) return false;
    BufferView buffer;
    if (!buffer.acquire(object)) {
        // Not exportable as a strided record (a released view, a dtype the
        // buffer protocol cannot describe): the generic path reports it as
        // it always has.
        PyErr_Clear();
        return false;
    }
    const Py_buffer& view = buffer.get();
    if (view.ndim != 1 || view.suboffsets != nullptr) return false;
    const std::optional<ItemFormat> format = parse_format(view.format, view.itemsize);
    if (!format) return false;
    read_buffer(view, *format, values);
    return true;
}

namespace {

// Stands in for the data of an empty series: a buffer's address is never null.
const double kNoValues = 0.0;

}  // namespace

int export_doubles(PyObject* exporter, const std::vector<double>& values, Py_buffer* view,
                   int flags) noexcept {
    view->obj = nullptr;
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "Object is not writable.");
        return -1;
    }
    // Shape and stride live as long as the view: the consumer may copy the
    // Py_buffer but keeps these pointers until it releases it.
    auto* layout = static_cast<Py_ssize_t*>(PyMem_Malloc(2 * sizeof(Py_ssize_t)));
    if (layout == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    layout[0] = static_cast<Py_ssize_t>(values.size());
    layout[1] = static_cast<Py_ssize_t>(sizeof(double));
    view->buf = const_cast<double*>(values.empty() ? &kNoValues : values.data());
    view->obj = Py_NewRef(exporter);
    view->len = layout[0] * layout[1];
    view->itemsize = layout[1];
    view->readonly = 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("d") : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &layout[0] : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &layout[1] : nullptr;
    view->suboffsets = nullptr;
    view->internal = layout;
    return 0;
}

void release_doubles(PyObject* /*exporter*/, Py_buffer* view) noexcept {
    PyMem_Free(view->internal);
    view->internal = nullptr;
}

}  // namespace rainmill::py
