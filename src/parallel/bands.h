// Splitting an image's rows into bands, one thread each: the one way the whole-image core uses
// threads. Plain C++, header only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace tonesift::parallel {

// How many bands `threads` threads make of `height` rows: at least one, at most one per row.
inline unsigned band_count(std::size_t height, unsigned threads) noexcept
{
    return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, height)));
}

// The first row of band `band` of `bands`; band `bands` gives the end of the last one.
inline std::size_t band_start(std::size_t height, unsigned bands, unsigned band) noexcept
{
    return height * band / bands;
}

// Runs work(band, first_row, end_row) for each of band_count() bands, one thread each, the first
// band on the calling thread. If a thread cannot be started, its band runs here instead. An
// exception thrown by a band (std::bad_alloc, say) would end the process on its own thread, so
// each is caught there and the first, in band order, is thrown again here once all have ended.
template <class Work> void for_each_band(std::size_t height, unsigned threads, Work work)
{
    const unsigned bands = band_count(height, threads);
    std::vector<std::exception_ptr> failures(bands);
    const auto run = [&](unsigned band) noexcept {
        try {
            work(band, band_start(height, bands, band), band_start(height, bands, band + 1));
        } catch (...) {
            failures[band] = std::current_exception();
        }
    };
    std::vector<std::thread> started;
    started.reserve(bands);
    std::vector<bool> left_over(bands, false);
    for (unsigned band = 1; band < bands; ++band) {
        try {
            started.emplace_back(run, band);
        } catch (...) {
            left_over[band] = true;
        }
    }
    run(0);
    for (std::thread &thread : started) {
        thread.join();
    }
    for (unsigned band = 1; band < bands; ++band) {
        if (left_over[band]) {
            run(band);
        }
    }
    for (const std::exception_ptr &failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

}  // namespace tonesift::parallel
