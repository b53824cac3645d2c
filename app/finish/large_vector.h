#pragma once

// Frame-sized buffers of the finishing stages. glibc gives each a mapping of
// its own (veskar keeps its mmap threshold low so that long runs do not
// fragment), and every page of a fresh mapping is faulted in and zeroed by
// the kernel on first touch: on the edge finishing of a 2.7-megapixel frame,
// which makes dozens of such buffers, that was a third of the run. Asked for
// huge pages before the first touch, the kernel faults them in 2 MiB at a
// time. Only where the buffers live changes, never what they hold.

#include <cstddef>
#include <vector>

namespace veskar::finish {

/// Advises the system to back the whole 2 MiB pages inside
/// [data, data + bytes) with huge pages; advice only, and nothing where the
/// system has no such pages.
void AdviseHugePages(void* data, std::size_t bytes) noexcept;

/// Resizes `values` to `size` (new values are `fill`), advising the new
/// storage to take huge pages before it is written.
template <class T>
void LargeResize(std::vector<T>& values, std::size_t size, const T& fill = T()) {
    if (values.capacity() < size) {
        values.reserve(size);
        AdviseHugePages(values.data() + values.size(), (size - values.size()) * sizeof(T));
    }
    values.resize(size, fill);
}

/// `size` copies of `fill`, in storage advised to take huge pages.
template <class T>
std::vector<T> LargeVector(std::size_t size, const T& fill = T()) {
    std::vector<T> values;
    LargeResize(values, size, fill);
    return values;
}

}  // namespace veskar::finish
