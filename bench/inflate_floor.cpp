// The decompression floor of a deflated "/features": the chunks are read as
// stored into memory first, then inflated with libdeflate on every core, and
// only the inflating is timed. Prints the seconds, the chunk count and the
// bytes before and after.
//
//   inflate_floor FILE [THREADS]
#include <hdf5.h>
#include <libdeflate.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "input/hdf5_handle.h"

using erp2npx::Hid;

namespace {

struct Chunk {
  std::vector<uint8_t> stored;
  uint32_t filterMask = 0;
};

int fail(const char* what) {
  std::fprintf(stderr, "inflate_floor: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return fail("usage: inflate_floor FILE [THREADS]");
  unsigned threads = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 0;
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());

  const Hid file = erp2npx::fileHandle(H5Fopen(argv[1], H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!file.valid()) return fail("cannot open the file");
  const Hid dataset = erp2npx::datasetHandle(H5Dopen2(file.get(), "/features", H5P_DEFAULT));
  if (!dataset.valid()) return fail("no /features");
  const Hid creation = erp2npx::propertyListHandle(H5Dget_create_plist(dataset.get()));
  if (H5Pget_layout(creation.get()) != H5D_CHUNKED) return fail("/features is not chunked");
  const Hid space = erp2npx::dataspaceHandle(H5Dget_space(dataset.get()));
  const int rank = H5Sget_simple_extent_ndims(space.get());
  if (rank <= 0) return fail("/features has no dimensions");
  std::vector<hsize_t> dims(static_cast<size_t>(rank)), chunk(static_cast<size_t>(rank));
  H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
  H5Pget_chunk(creation.get(), rank, chunk.data());
  const Hid type = erp2npx::datatypeHandle(H5Dget_type(dataset.get()));
  size_t chunkBytes = H5Tget_size(type.get());
  for (const hsize_t extent : chunk) chunkBytes *= extent;

  // Every chunk of the grid, read as stored.
  std::vector<Chunk> chunks;
  uint64_t storedBytes = 0;
  std::vector<hsize_t> at(static_cast<size_t>(rank), 0);
  for (bool more = true; more;) {
    hsize_t size = 0;
    if (H5Dget_chunk_storage_size(dataset.get(), at.data(), &size) >= 0 && size > 0) {
      Chunk c;
      c.stored.resize(size);
      if (H5Dread_chunk(dataset.get(), H5P_DEFAULT, at.data(), &c.filterMask, c.stored.data()) <
          0) {
        return fail("a chunk cannot be read");
      }
      storedBytes += size;
      chunks.push_back(std::move(c));
    }
    more = false;
    for (int d = rank; d-- > 0;) {
      at[d] += chunk[d];
      if (at[d] < dims[d]) {
        more = true;
        break;
      }
      at[d] = 0;
    }
  }

  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater(
          libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
      std::vector<uint8_t> out(chunkBytes);
      for (size_t i; (i = next++) < chunks.size();) {
        size_t got = 0;
        if (libdeflate_zlib_decompress(inflater.get(), chunks[i].stored.data(),
                                       chunks[i].stored.size(), out.data(), out.size(),
                                       &got) != LIBDEFLATE_SUCCESS) {
          failed = true;
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (failed) return fail("a chunk does not inflate (is /features deflated?)");
  std::printf("%.3f s to inflate %zu chunks, %llu bytes to %llu, on %u threads\n", seconds,
              chunks.size(), static_cast<unsigned long long>(storedBytes),
              static_cast<unsigned long long>(chunkBytes * chunks.size()), threads);
  return 0;
}
