// The binding of the whole-image core, tonesift_image._native: reads the arrays it is given
// through the buffer protocol, lets go of the interpreter lock while the core works, and hands
// back results in buffers that numpy views without copying. The Python package around it
// (__init__.py) turns user input into arrays and gives argument errors their messages.
//
// Written against the C API, like tonesift itself, so that every failure, running out of
// memory included, becomes a Python exception: a binding library tried first aborted the
// process when an allocation failed while converting arrays.
#include "dispatch.h"
#include "image_mask.h"
#include "level_rows.h"
#include "module/compat.h"
#include "module/ref.h"
#include "regions.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include <sys/mman.h>

namespace tonesift::image_binding {
namespace {

// ---------------------------------------------------------------------------------------------
// Result buffers: memory of our own, shown to numpy through the buffer protocol

struct ResultBuffer {
    PyObject_HEAD
    void *memory;
    const char *format;  // a struct code: "?", "i", "q" or "d"
    Py_ssize_t itemsize;
    int ndim;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

// Large results are asked for on huge pages: the core writes them from end to end, and on a
// fresh array of tens of megabytes the kernel's page faults, one per 4 KiB, cost more than the
// labelling itself.
void *allocate(std::size_t bytes) noexcept
{
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    bytes = std::max<std::size_t>(bytes, 1);
#if defined(MADV_HUGEPAGE)
    if (bytes >= huge_page) {
        const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
        if (void *memory = std::aligned_alloc(huge_page, rounded)) {
            madvise(memory, rounded, MADV_HUGEPAGE);  // only advice: failure changes nothing
            return memory;
        }
    }
#endif
    return std::malloc(bytes);
}

void result_buffer_dealloc(PyObject *self) noexcept
{
    std::free(reinterpret_cast<ResultBuffer *>(self)->memory);
    Py_TYPE(self)->tp_free(self);
}

// Shows `memory`, held by `owner`, through `view`, which keeps the owner alive.
struct ViewOf {
    void *memory;
    bool readonly;
    Py_ssize_t itemsize;
    const char *format;
    int ndim;
    Py_ssize_t *shape;
    Py_ssize_t *strides;
};

int fill_view(PyObject *owner, Py_buffer *view, const ViewOf &of) noexcept
{
    view->buf = of.memory;
    view->obj = Ref::borrow(owner).release();
    view->len = of.itemsize;
    for (int axis = 0; axis < of.ndim; ++axis) {
        view->len *= of.shape[axis];
    }
    view->readonly = of.readonly ? 1 : 0;
    view->itemsize = of.itemsize;
    view->format = const_cast<char *>(of.format);
    view->ndim = of.ndim;
    view->shape = of.shape;
    view->strides = of.strides;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

int result_buffer_getbuffer(PyObject *self, Py_buffer *view, int) noexcept
{
    auto *buffer = reinterpret_cast<ResultBuffer *>(self);
    return fill_view(self, view, {buffer->memory, false, buffer->itemsize, buffer->format,
                                  buffer->ndim, buffer->shape, buffer->strides});
}

PyBufferProcs result_buffer_procs = {result_buffer_getbuffer, nullptr};

PyTypeObject result_buffer_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tonesift_image._native.ResultBuffer",
    .tp_basicsize = sizeof(ResultBuffer),
    .tp_itemsize = 0,
    .tp_dealloc = result_buffer_dealloc,
    .tp_as_buffer = &result_buffer_procs,
    .tp_flags = Py_TPFLAGS_DEFAULT,
};

// A buffer of `shape` (one or two axes) of items of type T, C order; null with MemoryError set.
template <class T> Ref make_result(std::initializer_list<std::size_t> shape) noexcept
{
    constexpr const char *format = std::is_same_v<T, bool>           ? "?"
                                   : std::is_same_v<T, std::int32_t> ? "i"
                                   : std::is_same_v<T, double>       ? "d"
                                                                     : "q";
    static_assert(sizeof(T) == 1 || sizeof(T) == 4 || sizeof(T) == 8);
    Ref object = Ref::steal(PyType_GenericAlloc(&result_buffer_type, 0));
    if (!object) {
        return object;
    }
    auto *buffer = reinterpret_cast<ResultBuffer *>(object.get());
    std::size_t count = 1;
    buffer->ndim = static_cast<int>(shape.size());
    int axis = 0;
    for (std::size_t length : shape) {
        buffer->shape[axis++] = static_cast<Py_ssize_t>(length);
        if (length != 0 && count > PY_SSIZE_T_MAX / sizeof(T) / length) {
            PyErr_SetString(PyExc_ValueError, "image too large: the result's size overflows");
            return Ref();
        }
        count *= length;
    }
    buffer->strides[buffer->ndim - 1] = sizeof(T);
    if (buffer->ndim == 2) {
        buffer->strides[0] = buffer->shape[1] * static_cast<Py_ssize_t>(sizeof(T));
    }
    buffer->format = format;
    buffer->itemsize = sizeof(T);
    buffer->memory = allocate(count * sizeof(T));
    if (buffer->memory == nullptr) {
        PyErr_NoMemory();
        return Ref();
    }
    return object;
}

template <class T> T *items(const Ref &result) noexcept
{
    return static_cast<T *>(reinterpret_cast<ResultBuffer *>(result.get())->memory);
}

template <class T> Ref column(const std::vector<T> &values) noexcept
{
    Ref result = make_result<T>({values.size()});
    if (result) {
        std::copy(values.begin(), values.end(), items<T>(result));
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Arguments

// A buffer view released with its owner.
class BufferView {
public:
    BufferView() noexcept : view_{} {}
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    ~BufferView()
    {
        if (view_.obj != nullptr) {
            PyBuffer_Release(&view_);
        }
    }
    int acquire(PyObject *object, int flags = PyBUF_RECORDS_RO) noexcept
    {
        return PyObject_GetBuffer(object, &view_, flags);
    }
    const Py_buffer &get() const noexcept { return view_; }
    bool held() const noexcept { return view_.obj != nullptr; }

private:
    Py_buffer view_;
};

// The caller's `out` array, as a writable C-ordered buffer of (height, width) items of
// `itemsize` bytes; the package has checked its type, shape and memory already.
class OutputView {
public:
    // 0 with nothing held for None; -1 with TypeError set if `object` does not fit.
    int acquire(PyObject *object, std::size_t height, std::size_t width,
                Py_ssize_t itemsize) noexcept
    {
        if (object == Py_None) {
            return 0;
        }
        if (buffer_.acquire(object, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) {
            return -1;
        }
        const Py_buffer &view = buffer_.get();
        if (view.ndim != 2 || view.itemsize != itemsize ||
            view.shape[0] != static_cast<Py_ssize_t>(height) ||
            view.shape[1] != static_cast<Py_ssize_t>(width)) {
            PyErr_SetString(PyExc_TypeError, "out does not fit the result");
            return -1;
        }
        object_ = object;
        return 0;
    }

    // The result: `out` itself, or a new buffer; null with an exception set.
    template <class T> Ref result(std::size_t height, std::size_t width) const noexcept
    {
        return buffer_.held() ? Ref::borrow(object_) : make_result<T>({height, width});
    }

    // Where the result's items go: `out`'s memory, or that of the new buffer.
    template <class T> T *items_of(const Ref &result) const noexcept
    {
        return buffer_.held() ? static_cast<T *>(buffer_.get().buf) : items<T>(result);
    }

private:
    BufferView buffer_;
    PyObject *object_ = nullptr;  // borrowed from the call's arguments
};

bool format_is(const Py_buffer &view, char code) noexcept
{
    // "B" or "<B", "=d" and so on: native byte order and size only.
    const char *format = view.format != nullptr ? view.format : "B";
    if (*format == '@' || *format == '=' || (*format == '<' && code != 'B')) {
        ++format;
    }
    return format[0] == code && format[1] == '\0';
}

// Runs the core's work without the interpreter lock. The core reports running out of memory
// (its own vectors, starting threads) by std::bad_alloc, which becomes MemoryError here: returns
// -1 with it set.
PyObject *raise_division_failure(std::size_t row, std::size_t column) noexcept;
int to_int(PyObject *object, int &value) noexcept;

// What work that divides nothing, or finds no pixel it cannot divide, gives run_unlocked.
constexpr image_mask::DivisionFailure no_failure{false, 0, 0};

// Runs `work` without the interpreter lock. Its result, a pixel whose doubles tonesift() could
// not divide (or none), and running out of memory are reported once the lock is back: -1 then.
template <class Work> int run_unlocked(Work work) noexcept
{
    bool out_of_memory = false;
    image_mask::DivisionFailure failure = no_failure;
    PyThreadState *state = PyEval_SaveThread();
    try {
        failure = work();
    } catch (const std::bad_alloc &) {
        out_of_memory = true;
    }
    PyEval_RestoreThread(state);
    if (out_of_memory) {
        PyErr_NoMemory();
        return -1;
    }
    if (failure.failed) {
        raise_division_failure(failure.row, failure.column);
        return -1;
    }
    return 0;
}

// The shape every entry point shares: its argument count checked, and its int arguments (at
// `positions`: threads, connectivity) read, before `body` gets the arguments and those ints.
template <Py_ssize_t count, Py_ssize_t... positions, class Body>
PyObject *entry_point(const char *name, PyObject *const *args, Py_ssize_t nargs,
                      Body body) noexcept
{
    if (nargs != count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments", name, count);
        return nullptr;
    }
    std::array<int, sizeof...(positions)> ints{};
    if constexpr (sizeof...(positions) > 0) {
        std::size_t next = 0;
        if (((to_int(args[positions], ints[next++]) < 0) || ...)) {
            return nullptr;
        }
    }
    return body(args, ints);
}

int to_int(PyObject *object, int &value) noexcept
{
    const long number = PyLong_AsLong(object);
    if (number == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (number < 0 || number > 1 << 20) {
        PyErr_SetString(PyExc_ValueError, "argument out of range");
        return -1;
    }
    value = static_cast<int>(number);
    return 0;
}

PyObject *raise_division_failure(std::size_t row, std::size_t column) noexcept
{
    Ref error = Ref::steal(PyObject_CallFunction(
        PyExc_ZeroDivisionError, "N", PyUnicode_FromFormat("float division at row %zu, column %zu",
                                                           row, column)));
    Ref row_number = Ref::steal(PyLong_FromSize_t(row));
    Ref column_number = Ref::steal(PyLong_FromSize_t(column));
    if (!error || !row_number || !column_number ||
        PyObject_SetAttrString(error.get(), "row", row_number.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "column", column_number.get()) < 0) {
        return nullptr;
    }
    PyErr_SetObject(PyExc_ZeroDivisionError, error.get());
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Images

struct Pixels {
    BufferView buffer;
    image_mask::Image image;
    bool levels;
};

// Reads pixels, red, green, blue (args[0..3]) into `pixels`; -1 with an exception set.
int acquire_pixels(PyObject *const *args, Pixels &pixels) noexcept
{
    int channel[3];
    for (int i = 0; i < 3; ++i) {
        if (to_int(args[1 + i], channel[i]) < 0) {
            return -1;
        }
    }
    if (pixels.buffer.acquire(args[0]) < 0) {
        return -1;
    }
    const Py_buffer &view = pixels.buffer.get();
    pixels.levels = format_is(view, 'B') && view.itemsize == 1;
    const bool doubles = format_is(view, 'd') && view.itemsize == 8;
    if (view.ndim != 3 || (!pixels.levels && !doubles) ||
        *std::max_element(channel, channel + 3) >= view.shape[2]) {
        PyErr_SetString(PyExc_TypeError,
                        "pixels must be a (height, width, channels) array of uint8 or float64");
        return -1;
    }
    pixels.image = {static_cast<const unsigned char *>(view.buf),
                    static_cast<std::size_t>(view.shape[0]),
                    static_cast<std::size_t>(view.shape[1]),
                    view.strides[0], view.strides[1], view.strides[2],
                    channel[0], channel[1], channel[2]};
    return 0;
}

// The rows of an image's mask, classified as labelling asks for them.
class LevelRows final : public labelling::RowSource {
public:
    explicit LevelRows(const image_mask::Image &image) noexcept : image_(image) {}
    void read(std::size_t row, std::uint64_t *bits) noexcept override
    {
        image_mask::classify_levels_row(image_, row, bits);
    }

private:
    const image_mask::Image &image_;
};

// For doubles, the first failing pixel in reading order over all threads; the rows after it
// are not worth classifying and read as background.
class DoubleRows final : public labelling::RowSource {
public:
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

    explicit DoubleRows(const image_mask::Image &image) noexcept : image_(image) {}
    void read(std::size_t row, std::uint64_t *bits) noexcept override
    {
        std::size_t column = 0;
        const bool after_failure =
            first_failure_.load(std::memory_order_relaxed) < row * image_.width;
        if (after_failure || !image_mask::classify_doubles_row(image_, row, bits, column)) {
            if (!after_failure) {
                note(row * image_.width + column);
            }
            std::fill(bits, bits + level_rows::words_for(image_.width), std::uint64_t{0});
        }
    }
    bool failed() const noexcept { return first_failure_.load() != none; }
    std::size_t row() const noexcept { return first_failure_.load() / image_.width; }
    std::size_t column() const noexcept { return first_failure_.load() % image_.width; }

private:
    void note(std::size_t at) noexcept
    {
        std::size_t seen = first_failure_.load();
        while (at < seen && !first_failure_.compare_exchange_weak(seen, at)) {
        }
    }

    const image_mask::Image &image_;
    std::atomic<std::size_t> first_failure_{none};
};

// ---------------------------------------------------------------------------------------------
// Entry points

// skin_mask(pixels, red, green, blue, threads, out): a buffer of bools (height, width), or out.
PyObject *skin_mask_of(PyObject *const *args, std::array<int, 1> ints) noexcept
{
    const int threads = ints[0];
    Pixels pixels;
    if (acquire_pixels(args, pixels) < 0) {
        return nullptr;
    }
    const image_mask::Image &image = pixels.image;
    OutputView out;
    if (out.acquire(args[5], image.height, image.width, 1) < 0) {
        return nullptr;
    }
    Ref mask = out.result<bool>(image.height, image.width);
    if (!mask) {
        return nullptr;
    }
    auto *bytes = reinterpret_cast<std::uint8_t *>(out.items_of<bool>(mask));
    const unsigned workers = image_mask::useful_threads(image.height * image.width, threads);
    if (run_unlocked([&] {
            if (!pixels.levels) {
                return image_mask::classify_doubles(image, bytes, workers);
            }
            image_mask::classify_levels(image, bytes, workers);
            return no_failure;
        }) < 0) {
        return nullptr;
    }
    return mask.release();
}

PyObject *skin_mask(PyObject *, PyObject *const *args, Py_ssize_t nargs) noexcept
{
    return entry_point<6, 4>("skin_mask", args, nargs, skin_mask_of);
}

// unit_range(pixels, red, green, blue): whether every colour component of these pixels (doubles)
// lies in 0..1 and one is above 0: floats on the 0..1 scale, which the rules, on the 0..255
// scale, would judge as near black. Native, so that the check needs no allocation of numpy's.
PyObject *unit_range_of(PyObject *const *args, std::array<int, 0>) noexcept
{
    Pixels pixels;
    if (acquire_pixels(args, pixels) < 0) {
        return nullptr;
    }
    if (pixels.levels) {
        Py_RETURN_FALSE;
    }
    const image_mask::Image &image = pixels.image;
    bool within = image.height != 0 && image.width != 0, lit = false;
    if (run_unlocked([&] {
            for (std::size_t y = 0; y < image.height && within; ++y) {
                const unsigned char *row =
                    image.origin + static_cast<std::ptrdiff_t>(y) * image.row_stride;
                for (std::size_t x = 0; x < image.width && within; ++x) {
                    const unsigned char *pixel =
                        row + static_cast<std::ptrdiff_t>(x) * image.column_stride;
                    for (const int channel : {image.red, image.green, image.blue}) {
                        double value;
                        std::memcpy(&value, pixel + channel * image.channel_stride, sizeof value);
                        within = within && value >= 0.0 && value <= 1.0;  // NaN is not
                        lit = lit || value > 0.0;
                    }
                }
            }
            return no_failure;
        }) < 0) {
        return nullptr;
    }
    return PyBool_FromLong(within && lit);
}

PyObject *unit_range(PyObject *, PyObject *const *args, Py_ssize_t nargs) noexcept
{
    return entry_point<4>("unit_range", args, nargs, unit_range_of);
}

// The labels (or None) and the columns of `regions`, as the package's Regions takes them.
PyObject *regions_tuple(Ref labels, const labelling::Regions &regions) noexcept
{
    Ref pixels = column(regions.pixels), left = column(regions.left), top = column(regions.top);
    Ref right = column(regions.right), bottom = column(regions.bottom);
    Ref centroid_x = column(regions.centroid_x), centroid_y = column(regions.centroid_y);
    if (!pixels || !left || !top || !right || !bottom || !centroid_x || !centroid_y) {
        return nullptr;
    }
    return PyTuple_Pack(8, labels.get(), pixels.get(), left.get(), top.get(), right.get(),
                        bottom.get(), centroid_x.get(), centroid_y.get());
}

int check_label_count(std::size_t height, std::size_t width) noexcept
{
    if (height != 0 && width > labelling::max_pixels / height) {
        PyErr_SetString(PyExc_ValueError, "mask has more pixels than int32 labels can number");
        return -1;
    }
    return 0;
}

labelling::Connectivity connectivity_of(int value) noexcept
{
    return value == 4 ? labelling::Connectivity::four : labelling::Connectivity::eight;
}

// skin_regions(mask, connectivity, threads, out): the columns of Regions.
PyObject *regions_of_mask(PyObject *const *args, std::array<int, 2> ints) noexcept
{
    const int connectivity = ints[0], threads = ints[1];
    BufferView mask;
    if (mask.acquire(args[0]) < 0) {
        return nullptr;
    }
    const Py_buffer &view = mask.get();
    if (view.ndim != 2 || view.itemsize != 1) {
        PyErr_SetString(PyExc_TypeError, "mask must be a 2-dimensional array of one-byte values");
        return nullptr;
    }
    const auto height = static_cast<std::size_t>(view.shape[0]);
    const auto width = static_cast<std::size_t>(view.shape[1]);
    OutputView out;
    if (check_label_count(height, width) < 0 || out.acquire(args[3], height, width, 4) < 0) {
        return nullptr;
    }
    Ref labels = out.result<std::int32_t>(height, width);
    if (!labels) {
        return nullptr;
    }
    labelling::Regions regions;
    if (run_unlocked([&] {
            labelling::label({static_cast<const unsigned char *>(view.buf), height, width,
                              view.strides[0], view.strides[1]},
                             connectivity_of(connectivity), out.items_of<std::int32_t>(labels),
                             regions, image_mask::useful_threads(height * width, threads));
            return no_failure;
        }) < 0) {
        return nullptr;
    }
    return regions_tuple(std::move(labels), regions);
}

PyObject *skin_regions(PyObject *, PyObject *const *args, Py_ssize_t nargs) noexcept
{
    return entry_point<4, 1, 2>("skin_regions", args, nargs, regions_of_mask);
}

// find_skin_regions(pixels, red, green, blue, connectivity, threads, labels, out): the columns
// of Regions, with None for the labels when `labels` is false.
PyObject *regions_of_pixels(PyObject *const *args, std::array<int, 2> ints) noexcept
{
    const int connectivity = ints[0], threads = ints[1];
    Pixels pixels;
    if (acquire_pixels(args, pixels) < 0) {
        return nullptr;
    }
    const int want_labels = PyObject_IsTrue(args[6]);
    const image_mask::Image &image = pixels.image;
    OutputView out;
    if (want_labels < 0 || check_label_count(image.height, image.width) < 0 ||
        out.acquire(args[7], image.height, image.width, 4) < 0) {
        return nullptr;
    }
    Ref labels = want_labels ? out.result<std::int32_t>(image.height, image.width)
                             : Ref::borrow(Py_None);
    if (!labels) {
        return nullptr;
    }
    std::int32_t *label_memory = want_labels ? out.items_of<std::int32_t>(labels) : nullptr;
    labelling::Regions regions;
    LevelRows levels(image);
    DoubleRows doubles(image);
    const unsigned workers = image_mask::useful_threads(image.height * image.width, threads);
    if (run_unlocked([&] {
            if (pixels.levels) {
                image_mask::prefetch_table();
            }
            labelling::label(pixels.levels ? static_cast<labelling::RowSource &>(levels) : doubles,
                             image.height, image.width, connectivity_of(connectivity),
                             label_memory, regions, workers);
            return !pixels.levels && doubles.failed()
                       ? image_mask::DivisionFailure{true, doubles.row(), doubles.column()}
                       : no_failure;
        }) < 0) {
        return nullptr;
    }
    return regions_tuple(std::move(labels), regions);
}

PyObject *find_skin_regions(PyObject *, PyObject *const *args, Py_ssize_t nargs) noexcept
{
    return entry_point<8, 4, 5>("find_skin_regions", args, nargs, regions_of_pixels);
}

// ---------------------------------------------------------------------------------------------
// Pixels lent by Pillow: a decoded picture's own memory, read through the Arrow C data interface
// (Pillow exports it so from 11.2), shown to numpy without a copy. Converting Pillow's pixels
// into an array of our own costs more than decoding them.

// The interface's two structs, laid out as the Arrow project defines them: an ABI, the same
// everywhere.
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema **children;
    ArrowSchema *dictionary;
    void (*release)(ArrowSchema *);
    void *private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void **buffers;
    ArrowArray **children;
    ArrowArray *dictionary;
    void (*release)(ArrowArray *);
    void *private_data;
};

// Read-only (height, width, channels) bytes inside an exported array, which it keeps alive:
// Pillow's export holds the picture's memory until the array's capsule is released.
struct LentPixels {
    PyObject_HEAD
    PyObject *owner;  // the "arrow_array" capsule
    const unsigned char *memory;
    Py_ssize_t shape[3];
    Py_ssize_t strides[3];
};

void lent_pixels_dealloc(PyObject *self) noexcept
{
    Py_XDECREF(reinterpret_cast<LentPixels *>(self)->owner);
    Py_TYPE(self)->tp_free(self);
}

int lent_pixels_getbuffer(PyObject *self, Py_buffer *view, int flags) noexcept
{
    auto *lent = reinterpret_cast<LentPixels *>(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "pixels lent by Pillow are read-only");
        view->obj = nullptr;
        return -1;
    }
    return fill_view(self, view, {const_cast<unsigned char *>(lent->memory), true, 1, "B", 3,
                                  lent->shape, lent->strides});
}

PyBufferProcs lent_pixels_procs = {lent_pixels_getbuffer, nullptr};

PyTypeObject lent_pixels_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tonesift_image._native.LentPixels",
    .tp_basicsize = sizeof(LentPixels),
    .tp_itemsize = 0,
    .tp_dealloc = lent_pixels_dealloc,
    .tp_as_buffer = &lent_pixels_procs,
    .tp_flags = Py_TPFLAGS_DEFAULT,
};

Py_ssize_t to_size(PyObject *object) noexcept
{
    const Py_ssize_t size = PyLong_AsSsize_t(object);
    if (size < 0 && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, "a size must not be negative");
    }
    return size;
}

// The bytes of an exported array of `pixels` items: 4-byte pixels ("+w:4" of "C", which is
// how Pillow exports every picture of several bands) or 1-byte ones ("C"); null with
// ValueError for any other layout.
const unsigned char *exported_bytes(const ArrowSchema &schema, const ArrowArray &array,
                                    std::int64_t pixels, int &bytes_per_pixel) noexcept
{
    const char *format = schema.format != nullptr ? schema.format : "";
    const bool whole = array.length == pixels && array.offset >= 0 && array.release != nullptr;
    const auto only_child = [](std::int64_t count, auto **children) {
        return count == 1 && children != nullptr && children[0] != nullptr;
    };
    if (whole && std::strcmp(format, "+w:4") == 0 && only_child(schema.n_children,
                                                                 schema.children) &&
        schema.children[0]->format != nullptr &&
        std::strcmp(schema.children[0]->format, "C") == 0 &&
        only_child(array.n_children, array.children)) {
        const ArrowArray &items = *array.children[0];
        const std::int64_t first = items.offset + 4 * array.offset;
        if (items.n_buffers == 2 && items.buffers != nullptr && items.buffers[1] != nullptr &&
            items.offset >= 0 && items.length >= 4 * (array.offset + pixels)) {
            bytes_per_pixel = 4;
            return static_cast<const unsigned char *>(items.buffers[1]) + first;
        }
    }
    else if (whole && std::strcmp(format, "C") == 0 && array.n_buffers == 2 &&
             array.buffers != nullptr && array.buffers[1] != nullptr) {
        bytes_per_pixel = 1;
        return static_cast<const unsigned char *>(array.buffers[1]) + array.offset;
    }
    PyErr_Format(PyExc_ValueError, "cannot lend pixels exported as %.20s", format);
    return nullptr;
}

// lend_pixels(schema, array, height, width): what __arrow_c_array__() gave for a picture of
// that size, as (height, width, 4) bytes for 4-byte pixels, or (height, width, 3) for grey ones
// (the one byte seen three times, as red, green and blue).
PyObject *lend_pixels_of(PyObject *const *args, std::array<int, 0>) noexcept
{
    auto *schema = static_cast<ArrowSchema *>(PyCapsule_GetPointer(args[0], "arrow_schema"));
    auto *array = static_cast<ArrowArray *>(PyCapsule_GetPointer(args[1], "arrow_array"));
    if (schema == nullptr || array == nullptr) {
        return nullptr;
    }
    const Py_ssize_t height = to_size(args[2]);
    const Py_ssize_t width = height < 0 ? -1 : to_size(args[3]);
    if (height < 0 || width < 0) {
        return nullptr;
    }
    if (width != 0 && height > PY_SSIZE_T_MAX / 4 / width) {
        PyErr_SetString(PyExc_ValueError, "image too large");
        return nullptr;
    }
    int bytes_per_pixel = 0;
    const unsigned char *memory = exported_bytes(*schema, *array, height * width, bytes_per_pixel);
    if (memory == nullptr) {
        return nullptr;
    }
    Ref object = Ref::steal(PyType_GenericAlloc(&lent_pixels_type, 0));
    if (!object) {
        return nullptr;
    }
    auto *lent = reinterpret_cast<LentPixels *>(object.get());
    lent->owner = Ref::borrow(args[1]).release();
    lent->memory = memory;
    const bool grey = bytes_per_pixel == 1;
    lent->shape[0] = height;
    lent->shape[1] = width;
    lent->shape[2] = grey ? 3 : 4;
    lent->strides[0] = width * bytes_per_pixel;
    lent->strides[1] = bytes_per_pixel;
    lent->strides[2] = grey ? 0 : 1;
    return object.release();
}

PyObject *lend_pixels(PyObject *, PyObject *const *args, Py_ssize_t nargs) noexcept
{
    return entry_point<4>("lend_pixels", args, nargs, lend_pixels_of);
}

// ---------------------------------------------------------------------------------------------
// Tables and the module

PyMethodDef native_methods[] = {
    {"skin_mask", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(skin_mask)),
     METH_FASTCALL, nullptr},
    {"skin_regions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(skin_regions)),
     METH_FASTCALL, nullptr},
    {"unit_range", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unit_range)),
     METH_FASTCALL, nullptr},
    {"find_skin_regions",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_skin_regions)), METH_FASTCALL,
     nullptr},
    {"lend_pixels", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lend_pixels)),
     METH_FASTCALL, nullptr},
    {}  // sentinel
};

// TONESIFT_SIMD=sse2 (or scalar, or avx2) chooses the kernels' path instead of the best one that
// this CPU runs: for comparing them, and for working round a CPU that misbehaves. The dispatcher
// decides; the module only reports a choice it cannot take.
int choose_path() noexcept
{
    const char *wanted = std::getenv("TONESIFT_SIMD");
    switch (simd::choose(wanted)) {
    case simd::Choice::done:
        return 0;
    case simd::Choice::unsupported:
        PyErr_Format(PyExc_ImportError, "TONESIFT_SIMD=%.100s, but this CPU cannot run it",
                     wanted);
        return -1;
    case simd::Choice::unknown_name:
        break;
    }
    PyErr_Format(PyExc_ImportError, "TONESIFT_SIMD must be avx2, sse2 or scalar, not %.100s",
                 wanted);
    return -1;
}

int native_exec(PyObject *module) noexcept
{
    if (choose_path() < 0 ||
        PyModule_AddStringConstant(
            module, "simd", simd::name(simd::active())) < 0) {
        return -1;
    }
    if (PyType_Ready(&result_buffer_type) < 0 || PyType_Ready(&lent_pixels_type) < 0) {
        return -1;
    }
    Ref type = Ref::borrow(reinterpret_cast<PyObject *>(&result_buffer_type));
    if (PyModule_AddObject(module, "ResultBuffer", type.get()) < 0) {
        return -1;
    }
    (void)type.release();  // the module took it
    return 0;
}

PyModuleDef_Slot native_slots[] = {
    {compat::exec_slot, reinterpret_cast<void *>(native_exec)},
    TONESIFT_RUNS_WITHOUT_GIL_SLOT
    {}  // sentinel
};

PyModuleDef native_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tonesift_image._native",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = native_methods,
    .m_slots = native_slots,
};

}  // namespace
}  // namespace tonesift::image_binding

extern "C" [[gnu::visibility("default")]] PyObject *PyInit__native();

PyObject *PyInit__native() { return PyModuleDef_Init(&tonesift::image_binding::native_definition); }
