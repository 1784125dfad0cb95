// The binding of the whole-image core: checks the arrays it is given, lets go of the interpreter
// lock while the core works, and wraps the results as numpy arrays. The Python package around it
// (__init__.py) turns user input into arrays and gives argument errors their messages.
#include "image_mask.h"
#include "regions.h"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include <sys/mman.h>

namespace nb = nanobind;

namespace {

using AnyArray = nb::ndarray<nb::ro, nb::device::cpu>;

struct Free {
    void operator()(void *memory) const noexcept { std::free(memory); }
};
template <class T> using Buffer = std::unique_ptr<T[], Free>;

// Memory for an output the core writes from end to end. Large ones are asked for on huge pages,
// where the kernel takes one page fault per 2 MiB instead of one per 4 KiB: on a fresh array of
// tens of megabytes the faults cost more than the labelling itself.
template <class T> Buffer<T> output_buffer(std::size_t count)
{
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    const std::size_t bytes = std::max<std::size_t>(count * sizeof(T), 1);
    void *memory = nullptr;
#if defined(MADV_HUGEPAGE)
    if (bytes >= huge_page) {
        const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
        memory = std::aligned_alloc(huge_page, rounded);
        if (memory != nullptr) {
            madvise(memory, rounded, MADV_HUGEPAGE);  // only advice: failure changes nothing
        }
    }
#endif
    if (memory == nullptr) {
        memory = std::malloc(bytes);
    }
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return Buffer<T>(static_cast<T *>(memory));
}

// A numpy array that takes over `data`; its capsule frees the memory with the array.
template <class T> nb::object numpy_array(Buffer<T> data, std::initializer_list<size_t> shape)
{
    nb::capsule owner(data.get(), [](void *p) noexcept { std::free(p); });
    T *raw = data.release();
    return nb::cast(nb::ndarray<nb::numpy, T>(raw, shape, owner));
}

template <class T> nb::object numpy_array(const std::vector<T> &values)
{
    Buffer<T> data = output_buffer<T>(values.size());
    std::copy(values.begin(), values.end(), data.get());
    return numpy_array(std::move(data), {values.size()});
}

std::ptrdiff_t byte_stride(const AnyArray &array, std::size_t axis)
{
    return static_cast<std::ptrdiff_t>(array.stride(axis)) *
           static_cast<std::ptrdiff_t>(array.itemsize());
}

nb::object skin_mask(AnyArray pixels, int red, int green, int blue, unsigned threads)
{
    const bool levels = pixels.dtype() == nb::dtype<std::uint8_t>();
    if (pixels.ndim() != 3 || (!levels && pixels.dtype() != nb::dtype<double>())) {
        throw nb::type_error("pixels must be a 3-dimensional array of uint8 or float64");
    }
    const std::size_t height = pixels.shape(0), width = pixels.shape(1);
    const tonesift::image_mask::Image image{
        static_cast<const unsigned char *>(pixels.data()), height, width, byte_stride(pixels, 0),
        byte_stride(pixels, 1), byte_stride(pixels, 2), red, green, blue};
    Buffer<bool> mask = output_buffer<bool>(height * width);
    auto *out = reinterpret_cast<std::uint8_t *>(mask.get());
    threads = tonesift::image_mask::useful_threads(height * width, threads);
    tonesift::image_mask::DivisionFailure failure{false, 0, 0};
    {
        nb::gil_scoped_release unlocked;
        if (levels) {
            tonesift::image_mask::classify_levels(image, out, threads);
        } else {
            failure = tonesift::image_mask::classify_doubles(image, out, threads);
        }
    }
    if (failure.failed) {
        // tonesift()'s error, saying where: in the message and as attributes.
        nb::object error = nb::handle(PyExc_ZeroDivisionError)(
            nb::str("float division at row {}, column {}").format(failure.row, failure.column));
        error.attr("row") = failure.row;
        error.attr("column") = failure.column;
        PyErr_SetObject(PyExc_ZeroDivisionError, error.ptr());
        throw nb::python_error();
    }
    return numpy_array(std::move(mask), {height, width});
}

nb::tuple skin_regions(AnyArray mask, int connectivity, unsigned threads)
{
    if (mask.ndim() != 2 || mask.itemsize() != 1) {
        throw nb::type_error("mask must be a 2-dimensional array of one-byte values");
    }
    const std::size_t height = mask.shape(0), width = mask.shape(1);
    if (height * width > tonesift::labelling::max_pixels) {
        throw nb::value_error("mask has more pixels than int32 labels can number");
    }
    const tonesift::labelling::Mask view{static_cast<const unsigned char *>(mask.data()), height,
                                         width, byte_stride(mask, 0), byte_stride(mask, 1)};
    Buffer<std::int32_t> labels = output_buffer<std::int32_t>(height * width);
    tonesift::labelling::Regions regions;
    threads = tonesift::image_mask::useful_threads(height * width, threads);
    {
        nb::gil_scoped_release unlocked;
        tonesift::labelling::label(view,
                                   connectivity == 4 ? tonesift::labelling::Connectivity::four
                                                     : tonesift::labelling::Connectivity::eight,
                                   labels.get(), regions, threads);
    }
    return nb::make_tuple(numpy_array(std::move(labels), {height, width}),
                          numpy_array(regions.pixels), numpy_array(regions.left),
                          numpy_array(regions.top), numpy_array(regions.right),
                          numpy_array(regions.bottom));
}

}  // namespace

NB_MODULE(_native, module)
{
    module.def("skin_mask", &skin_mask, nb::arg("pixels"), nb::arg("red"), nb::arg("green"),
               nb::arg("blue"), nb::arg("threads"));
    module.def("skin_regions", &skin_regions, nb::arg("mask"), nb::arg("connectivity"),
               nb::arg("threads"));
}
