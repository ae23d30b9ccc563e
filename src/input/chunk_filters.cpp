#include "input/chunk_filters.h"

#include <libdeflate.h>

#include "common/messages.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstring>
#include <memory>
#include <new>

namespace erp2npx {

namespace {

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* decompressor) const {
    libdeflate_free_decompressor(decompressor);
  }
};

// Each thread's own, made at its first chunk; short of memory, the chunk's
// job fails and the next chunk tries again.
libdeflate_decompressor* threadDecompressor() {
  thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor;
  if (!decompressor) decompressor.reset(libdeflate_alloc_decompressor());
  if (!decompressor) throw std::bad_alloc();
  return decompressor.get();
}

#ifdef __SSE2__
// Gathers byte k of sixteen elements from each of the Size planes, from
// element i on, into sixteen whole elements at out: a byte transpose in
// registers, several times faster than byte by byte.
template <size_t Size>
void gatherSixteen(const uint8_t* planes, size_t n, size_t i, uint8_t* out) {
  __m128i row[8];
  for (size_t k = 0; k < Size; ++k) {
    row[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes + k * n + i));
  }
  __m128i pairs[8], quads[8];
  for (size_t k = 0; k < Size; k += 2) {
    pairs[k] = _mm_unpacklo_epi8(row[k], row[k + 1]);
    pairs[k + 1] = _mm_unpackhi_epi8(row[k], row[k + 1]);
  }
  for (size_t k = 0; k < Size; k += 4) {
    quads[k] = _mm_unpacklo_epi16(pairs[k], pairs[k + 2]);
    quads[k + 1] = _mm_unpackhi_epi16(pairs[k], pairs[k + 2]);
    quads[k + 2] = _mm_unpacklo_epi16(pairs[k + 1], pairs[k + 3]);
    quads[k + 3] = _mm_unpackhi_epi16(pairs[k + 1], pairs[k + 3]);
  }
  __m128i* target = reinterpret_cast<__m128i*>(out + i * Size);
  if (Size == 4) {
    for (size_t q = 0; q < 4; ++q) _mm_storeu_si128(target + q, quads[q]);
    return;
  }
  for (size_t q = 0; q < 4; ++q) {
    _mm_storeu_si128(target + 2 * q, _mm_unpacklo_epi32(quads[q], quads[q + 4]));
    _mm_storeu_si128(target + 2 * q + 1, _mm_unpackhi_epi32(quads[q], quads[q + 4]));
  }
}
#endif

// Byte k of element i lies at k * n + i once shuffled; bytes past the last
// whole element stay where they are.
void unshuffle(Bytes& data, size_t elementSize, Bytes& scratch) {
  const size_t elements = data.size() / elementSize;
  if (elementSize <= 1 || elements <= 1) return;
  scratch.resize(data.size());
  size_t done = 0;
#ifdef __SSE2__
  if (elementSize == 8 || elementSize == 4) {
    for (; done + 16 <= elements; done += 16) {
      if (elementSize == 8) {
        gatherSixteen<8>(data.data(), elements, done, scratch.data());
      } else {
        gatherSixteen<4>(data.data(), elements, done, scratch.data());
      }
    }
  }
#endif
  for (size_t k = 0; k < elementSize; ++k) {
    const uint8_t* plane = data.data() + k * elements;
    for (size_t i = done; i < elements; ++i) scratch[i * elementSize + k] = plane[i];
  }
  const size_t whole = elements * elementSize;
  std::memcpy(scratch.data() + whole, data.data() + whole, data.size() - whole);
  data.swap(scratch);
}

}  // namespace

uint32_t fletcher32(const uint8_t* data, size_t size) {
  uint32_t sum1 = 0;
  uint32_t sum2 = 0;
  // 360 sums at most before they could overflow 32 bits.
  for (size_t words = size / 2; words > 0;) {
    size_t block = words > 360 ? 360 : words;
    words -= block;
    do {
      sum1 += static_cast<uint32_t>(data[0]) << 8 | data[1];
      data += 2;
      sum2 += sum1;
    } while (--block > 0);
    sum1 = (sum1 & 0xffff) + (sum1 >> 16);
    sum2 = (sum2 & 0xffff) + (sum2 >> 16);
  }
  if (size % 2 != 0) {
    sum1 += static_cast<uint32_t>(*data) << 8;
    sum2 += sum1;
    sum1 = (sum1 & 0xffff) + (sum1 >> 16);
    sum2 = (sum2 & 0xffff) + (sum2 >> 16);
  }
  sum1 = (sum1 & 0xffff) + (sum1 >> 16);
  sum2 = (sum2 & 0xffff) + (sum2 >> 16);
  return sum2 << 16 | sum1;
}

std::optional<ChunkFilters> ChunkFilters::of(hid_t creationProperties) {
  ChunkFilters filters;
  const int count = H5Pget_nfilters(creationProperties);
  if (count < 0) return std::nullopt;
  for (int f = 0; f < count; ++f) {
    unsigned flags = 0;
    size_t valueCount = 8;
    unsigned values[8] = {};
    unsigned config = 0;
    const H5Z_filter_t id = H5Pget_filter2(creationProperties, static_cast<unsigned>(f), &flags,
                                           &valueCount, values, 0, nullptr, &config);
    if (id == H5Z_FILTER_DEFLATE) {
      filters.filters_.push_back({Kind::kDeflate, 0});
    } else if (id == H5Z_FILTER_SHUFFLE && valueCount >= 1 && values[0] > 0) {
      filters.filters_.push_back({Kind::kShuffle, values[0]});
    } else if (id == H5Z_FILTER_FLETCHER32) {
      filters.filters_.push_back({Kind::kFletcher32, 0});
    } else {
      return std::nullopt;
    }
  }
  return filters;
}

namespace {

// The stages before deflate hold at most the chunk and a few checksums.
Status inflate(Bytes& chunk, size_t capacity, Bytes& scratch) {
  scratch.resize(capacity);
  size_t inflated = 0;
  if (libdeflate_zlib_decompress(threadDecompressor(), chunk.data(), chunk.size(), scratch.data(),
                                 scratch.size(), &inflated) != LIBDEFLATE_SUCCESS) {
    return Status::failed(msg::kDoesNotInflate);
  }
  scratch.resize(inflated);
  chunk.swap(scratch);
  return Status::done();
}

Status checkAndDropFletcher32(Bytes& chunk) {
  if (chunk.size() < 4) return Status::failed(msg::kTooShortForChecksum);
  const size_t size = chunk.size() - 4;
  const uint8_t* stored = chunk.data() + size;
  const uint32_t expected = uint32_t{stored[0]} | uint32_t{stored[1]} << 8 |
                            uint32_t{stored[2]} << 16 | uint32_t{stored[3]} << 24;
  const uint32_t sum = fletcher32(chunk.data(), size);
  // Writers before the library's 1.6.3 stored the halves byte-swapped.
  const uint32_t swapped = (sum & 0x00ff00ffu) << 8 | (sum & 0xff00ff00u) >> 8;
  if (expected != sum && expected != swapped) return Status::failed(msg::kChecksumFails);
  chunk.resize(size);
  return Status::done();
}

}  // namespace

Status ChunkFilters::decode(Bytes& chunk, uint32_t filterMask, size_t chunkBytes) const {
  // Kept by each thread for all its chunks.
  thread_local Bytes scratch;
  for (size_t f = filters_.size(); f-- > 0;) {
    if (f < 32 && (filterMask >> f & 1) != 0) continue;  // skipped when written
    const Filter& filter = filters_[f];
    Status undone = Status::done();
    switch (filter.kind) {
      case Kind::kDeflate:
        undone = inflate(chunk, chunkBytes + 4 * filters_.size(), scratch);
        break;
      case Kind::kShuffle:
        unshuffle(chunk, filter.elementSize, scratch);
        break;
      case Kind::kFletcher32:
        undone = checkAndDropFletcher32(chunk);
        break;
    }
    if (!undone.ok()) return undone;
  }
  if (chunk.size() != chunkBytes) return Status::failed(msg::kNotAWholeChunk);
  return Status::done();
}

}  // namespace erp2npx
