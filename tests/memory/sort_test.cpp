// qzqsearch's positions, and qzqsort against a literal reference of the partitioning it must
// reproduce byte for byte (equal keys carry distinct payloads, so the order of equals shows),
// with bounded comparison counts on inputs of few distinct keys.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "qzobj/containers.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

using SortSearch = QzoTest;

// ---- The literal algorithm, scan for scan, kept here as the reference.

void SwapBytes(BYTE* a, BYTE* b, size_t size) {
    for (size_t i = 0; i < size; ++i) std::swap(a[i], b[i]);
}

void ReferenceSort(void* base, size_t count, size_t size, QZCOMPAREPROC compare) {
    if (count < 2 || size == 0) return;
    struct Range {
        size_t lo, n;  // first element index and element count
    };
    std::vector<Range> stack;
    BYTE* b = static_cast<BYTE*>(base);
    auto at = [&](size_t i) { return b + i * size; };
    Range r{0, count};
    for (;;) {
        if (r.n > 8) {
            const size_t lo = r.lo, hi = r.lo + r.n - 1;
            SwapBytes(at(lo + r.n / 2), at(lo), size);  // the middle element is the pivot
            size_t low = lo + 1, high = hi;
            for (;;) {
                while (low <= hi && compare(at(low), at(lo)) <= 0) ++low;
                while (high > lo && compare(at(high), at(lo)) >= 0) --high;
                if (high < low) break;
                SwapBytes(at(low), at(high), size);
            }
            SwapBytes(at(lo), at(high), size);
            const Range left{lo, high - lo}, right{high + 1, hi - high};
            // The larger side waits; the smaller is next.
            if (left.n >= right.n) {
                stack.push_back(left);
                r = right;
            } else {
                stack.push_back(right);
                r = left;
            }
            EXPECT_LT(stack.size(), 30u);
            if (r.n >= 2) continue;
        } else {
            for (size_t hi = r.lo + r.n - 1; hi > r.lo; --hi) {
                size_t largest = r.lo;
                for (size_t p = r.lo + 1; p <= hi; ++p)
                    if (compare(at(p), at(largest)) > 0) largest = p;
                SwapBytes(at(largest), at(hi), size);
            }
        }
        do {
            if (stack.empty()) return;
            r = stack.back();
            stack.pop_back();
        } while (r.n < 2);
    }
}

// ---- Elements: a key in the first byte (or the first 4 bytes when there is room) and a
// payload that makes every element distinct.

size_t g_compares = 0;

int CompareFirstByte(const void* a, const void* b) {
    ++g_compares;
    return int(*static_cast<const BYTE*>(a)) - int(*static_cast<const BYTE*>(b));
}

int CompareFirstWord(const void* a, const void* b) {
    ++g_compares;
    DWORD x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    return x < y ? -1 : x > y ? 1 : 0;
}

enum class Shape { Random, Sorted, Reversed, AllEqual, TwoKeys, TenKeys };

std::vector<BYTE> MakeInput(Shape shape, size_t count, size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<BYTE> data(count * size);
    for (size_t i = 0; i < count; ++i) {
        BYTE* e = data.data() + i * size;
        for (size_t j = 0; j < size; ++j) e[j] = BYTE(random());
        DWORD key = 0;
        switch (shape) {
            case Shape::Random:
                key = DWORD(random());
                break;
            case Shape::Sorted:
                key = DWORD(i);
                break;
            case Shape::Reversed:
                key = DWORD(count - i);
                break;
            case Shape::AllEqual:
                key = 7;
                break;
            case Shape::TwoKeys:
                key = DWORD(random() % 2);
                break;
            case Shape::TenKeys:
                key = DWORD(random() % 10);
                break;
        }
        if (size >= 4)
            std::memcpy(e, &key, 4);
        else
            e[0] = shape == Shape::Random ? BYTE(key) : BYTE(key % 251);
    }
    return data;
}

QZCOMPAREPROC ComparatorFor(size_t size) {
    return size >= 4 ? &CompareFirstWord : &CompareFirstByte;
}

void ExpectSameAsReference(Shape shape, size_t count, size_t size, unsigned seed) {
    SCOPED_TRACE(::testing::Message()
                 << "shape " << int(shape) << ", " << count << " x " << size << " bytes");
    const std::vector<BYTE> input = MakeInput(shape, count, size, seed);
    std::vector<BYTE> expected = input, actual = input;
    ReferenceSort(expected.data(), count, size, ComparatorFor(size));
    qzqsort(actual.data(), DWORD(count), DWORD(size), ComparatorFor(size));
    ASSERT_TRUE(expected == actual);
}

TEST_F(SortSearch, SearchFindsTheFirstPositionNotLess) {
    const DWORD values[] = {10, 20, 30};
    auto search = [&](DWORD key, DWORD count = 3) {
        return qzqsearch(&key, values, count, sizeof(DWORD), &CompareFirstWord);
    };
    EXPECT_EQ(search(5), 0u);
    EXPECT_EQ(search(10), 0u);
    EXPECT_EQ(search(15), 1u);
    EXPECT_EQ(search(20), 1u);
    EXPECT_EQ(search(25), 2u);
    EXPECT_EQ(search(30), 2u);
    EXPECT_EQ(search(35), 3u);
    EXPECT_EQ(search(15, 2), 1u);
    EXPECT_EQ(search(25, 2), 2u);
    EXPECT_EQ(search(10, 1), 0u);
    EXPECT_EQ(search(11, 1), 1u);
    EXPECT_EQ(search(10, 0), 0u);
    const DWORD key = 15;
    EXPECT_EQ(qzqsearch(nullptr, values, 3, 4, &CompareFirstWord), 0u);
    EXPECT_EQ(qzqsearch(&key, nullptr, 3, 4, &CompareFirstWord), 0u);
    EXPECT_EQ(qzqsearch(&key, values, 3, 0, &CompareFirstWord), 0u);

    // Runs of equal elements: the first of them.
    const DWORD runs[] = {1, 2, 2, 2, 2, 2, 3, 3, 9};
    for (DWORD k : {2u, 3u}) {
        const DWORD expected = k == 2 ? 1 : 6;
        EXPECT_EQ(qzqsearch(&k, runs, 9, 4, &CompareFirstWord), expected);
    }
}

TEST_F(SortSearch, SortIgnoresTrivialInput) {
    DWORD one = 5;
    qzqsort(&one, 1, 4, &CompareFirstWord);
    qzqsort(nullptr, 10, 4, &CompareFirstWord);
    DWORD two[2] = {2, 1};
    qzqsort(two, 2, 0, &CompareFirstWord);
    EXPECT_EQ(two[0], 2u);
    qzqsort(two, 2, 4, &CompareFirstWord);
    EXPECT_EQ(two[0], 1u);
}

TEST_F(SortSearch, SortMatchesTheReferenceForEveryElementSize) {
    for (size_t size = 1; size <= 36; ++size) {
        for (size_t count : {2u, 7u, 8u, 9u, 10u, 17u, 64u, 1000u}) {
            ExpectSameAsReference(Shape::Random, count, size, unsigned(size * 31 + count));
            ExpectSameAsReference(Shape::TwoKeys, count, size, unsigned(size + count));
            ExpectSameAsReference(Shape::AllEqual, count, size, 5);
        }
    }
}

TEST_F(SortSearch, SortMatchesTheReferenceOnLargeInput) {
    for (size_t size : {1u, 4u, 12u, 13u, 36u}) {
        ExpectSameAsReference(Shape::Random, 100000, size, 1);
        ExpectSameAsReference(Shape::Sorted, 100000, size, 2);
        ExpectSameAsReference(Shape::Reversed, 100000, size, 3);
        // The literal algorithm is quadratic on few keys, so the reference runs on fewer.
        ExpectSameAsReference(Shape::TenKeys, 20000, size, 4);
        ExpectSameAsReference(Shape::TwoKeys, 5000, size, 5);
        ExpectSameAsReference(Shape::AllEqual, 5000, size, 6);
    }
}

TEST_F(SortSearch, FewKeysCostLinearComparisons) {
    const size_t n = 100000;
    for (Shape shape : {Shape::AllEqual, Shape::TwoKeys}) {
        for (size_t size : {4u, 12u}) {
            std::vector<BYTE> data = MakeInput(shape, n, size, 9);
            g_compares = 0;
            qzqsort(data.data(), DWORD(n), DWORD(size), &CompareFirstWord);
            EXPECT_LE(g_compares, 20 * n) << "shape " << int(shape) << " size " << size;
            for (size_t i = 1; i < n; ++i)
                ASSERT_LE(CompareFirstWord(&data[(i - 1) * size], &data[i * size]), 0);
        }
    }
    // Ten keys stay far from quadratic.
    std::vector<BYTE> data = MakeInput(Shape::TenKeys, n, 12, 10);
    g_compares = 0;
    qzqsort(data.data(), DWORD(n), 12, &CompareFirstWord);
    EXPECT_LE(g_compares, 40 * n);
}

}  // namespace
}  // namespace qzo::test
