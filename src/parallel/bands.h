// Splitting an image's rows into bands, one thread each: the one way the whole-image core uses
// threads. Plain C++, header only.
#pragma once

#include <algorithm>
#include <cstddef>
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
// band on the calling thread. If a thread cannot be started, its band runs here instead.
template <class Work> void for_each_band(std::size_t height, unsigned threads, Work work)
{
    const unsigned bands = band_count(height, threads);
    std::vector<std::thread> started;
    std::vector<unsigned> left_over;
    for (unsigned band = 1; band < bands; ++band) {
        try {
            started.emplace_back(work, band, band_start(height, bands, band),
                                 band_start(height, bands, band + 1));
        } catch (...) {
            left_over.push_back(band);
        }
    }
    work(0u, band_start(height, bands, 0), band_start(height, bands, 1));
    for (std::thread &thread : started) {
        thread.join();
    }
    for (unsigned band : left_over) {
        work(band, band_start(height, bands, band), band_start(height, bands, band + 1));
    }
}

}  // namespace tonesift::parallel
