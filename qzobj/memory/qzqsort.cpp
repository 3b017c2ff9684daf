// qzqsort, the library's iterative quicksort, and qzqsearch, its binary search for the first
// element not less than a key.
//
// The order qzqsort leaves equal elements in is part of stored data (sorted lists are saved as
// they are), so the partitioning below is fixed: middle element to the front as pivot, a low
// cursor passing elements <= pivot, a high cursor passing elements >= pivot, swaps until they
// cross, the pivot swapped to the high cursor, selection sort for 8 or fewer elements. Two
// scans whose outcome is already known are skipped, which changes no byte of the result but
// turns runs of equal keys from quadratic into linear cost (see PartitionStep).
#include <cstring>

#include "qzobj/containers.h"

namespace {

constexpr DWORD kSelectionLimit = 8;
constexpr int kStackDepth = 30;

// Exchanges two elements of a size known at compile time (0: the size given at run time).
template <size_t N>
struct FixedSwap {
    void operator()(BYTE* a, BYTE* b) const {
        BYTE t[N];
        std::memcpy(t, a, N);
        std::memcpy(a, b, N);
        std::memcpy(b, t, N);
    }
};

struct AnySwap {
    size_t size;
    void operator()(BYTE* a, BYTE* b) const {
        size_t n = size;
        while (n >= 8) {
            unsigned long long x, y;
            std::memcpy(&x, a, 8);
            std::memcpy(&y, b, 8);
            std::memcpy(a, &y, 8);
            std::memcpy(b, &x, 8);
            a += 8;
            b += 8;
            n -= 8;
        }
        while (n-- > 0) {
            const BYTE t = *a;
            *a++ = *b;
            *b++ = t;
        }
    }
};

template <class Swap>
class Sorter {
  public:
    Sorter(BYTE* base, DWORD count, size_t size, QZCOMPAREPROC compare, Swap swap)
        : first_(base),
          last_(base + (count - 1) * size),
          size_(size),
          compare_(compare),
          swap_(swap) {}

    void Run() {
        BYTE* lowStack[kStackDepth];
        BYTE* highStack[kStackDepth];
        int depth = 0;
        BYTE* lo = first_;
        BYTE* hi = last_;
        for (;;) {
            if (size_t(hi - lo) / size_ + 1 <= kSelectionLimit) {
                SelectionSort(lo, hi);
            } else {
                BYTE* pivot = PartitionStep(lo, hi);
                if (!pivot) {  // the pivot was the smallest: the partition shrank by one
                    lo += size_;
                    continue;
                }
                // Both sides lie between pivots; the larger waits on the stack.
                BYTE* leftHi = pivot - size_;
                BYTE* rightLo = pivot + size_;
                if (pivot - lo >= hi - pivot) {
                    Push(lowStack, highStack, depth, lo, leftHi);
                    lo = rightLo;
                } else {
                    Push(lowStack, highStack, depth, rightLo, hi);
                    hi = leftHi;
                }
                if (lo < hi) continue;
            }
            if (depth == 0) return;
            --depth;
            lo = lowStack[depth];
            hi = highStack[depth];
        }
    }

  private:
    static void Push(BYTE** lows, BYTE** highs, int& depth, BYTE* lo, BYTE* hi) {
        if (lo >= hi) return;  // nothing to sort
        lows[depth] = lo;
        highs[depth] = hi;
        ++depth;
    }

    int Compare(const BYTE* a, const BYTE* b) const { return compare_(a, b); }

    // Partitions [lo, hi] (more than 8 elements) and returns the pivot's final place; null when
    // the pivot compared equal to the bound below the partition, which makes it the smallest
    // element: the full scans would only confirm that, so the partition just starts one later.
    //
    // Every partition lies between earlier pivots at lo-1 and hi+1 (where present) that never
    // move: all its elements are >= the one below and <= the one above.
    BYTE* PartitionStep(BYTE* lo, BYTE* hi) {
        const size_t count = size_t(hi - lo) / size_ + 1;
        swap_(lo + (count / 2) * size_, lo);
        if (lo > first_ && Compare(lo, lo - size_) == 0) return nullptr;
        BYTE* high = hi + size_;
        if (hi < last_ && Compare(lo, hi + size_) == 0) {
            // Every element is <= the pivot: the low scan would run past the end, so the
            // high scan alone decides.
            do high -= size_;
            while (high > lo && Compare(high, lo) >= 0);
        } else {
            BYTE* low = lo;
            for (;;) {
                do low += size_;
                while (low <= hi && Compare(low, lo) <= 0);
                do high -= size_;
                while (high > lo && Compare(high, lo) >= 0);
                if (high < low) break;
                swap_(low, high);
            }
        }
        swap_(lo, high);
        return high;
    }

    // Repeatedly moves the largest element (the first of equals) to the end.
    void SelectionSort(BYTE* lo, BYTE* hi) {
        while (hi > lo) {
            BYTE* largest = lo;
            for (BYTE* p = lo + size_; p <= hi; p += size_)
                if (Compare(p, largest) > 0) largest = p;
            if (largest != hi) swap_(largest, hi);
            hi -= size_;
        }
    }

    BYTE* first_;
    BYTE* last_;
    size_t size_;
    QZCOMPAREPROC compare_;
    Swap swap_;
};

template <class Swap>
void SortWith(void* base, DWORD count, DWORD size, QZCOMPAREPROC compare, Swap swap) {
    Sorter<Swap>(static_cast<BYTE*>(base), count, size, compare, swap).Run();
}

}  // namespace

void qzqsort(void* base, DWORD count, DWORD size, QZCOMPAREPROC compare) {
    if (count < 2 || size == 0 || !base || !compare) return;
    switch (size) {
        case 4:
            return SortWith(base, count, size, compare, FixedSwap<4>());
        case 8:
            return SortWith(base, count, size, compare, FixedSwap<8>());
        case 12:
            return SortWith(base, count, size, compare, FixedSwap<12>());
        case 16:
            return SortWith(base, count, size, compare, FixedSwap<16>());
        case 24:
            return SortWith(base, count, size, compare, FixedSwap<24>());
        case 32:
            return SortWith(base, count, size, compare, FixedSwap<32>());
        default:
            return SortWith(base, count, size, compare, AnySwap{size});
    }
}

DWORD qzqsearch(const void* key, const void* base, DWORD count, DWORD size, QZCOMPAREPROC compare) {
    if (count == 0 || !base || !key || size == 0 || !compare) return 0;
    const BYTE* elements = static_cast<const BYTE*>(base);
    auto at = [&](DWORD i) { return elements + size_t(i) * size; };
    if (compare(key, at(0)) <= 0) return 0;
    if (compare(key, at(count - 1)) > 0) return count;
    DWORD hi = count - 1;
    if (hi < 2) return hi;
    DWORD lo = 0;
    while (hi - lo > 1) {
        const DWORD mid = lo + (hi - lo) / 2;
        if (compare(key, at(mid)) <= 0)
            hi = mid;
        else
            lo = mid;
    }
    return hi;
}
