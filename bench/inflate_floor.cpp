// The decompression floor of a deflated "/features": the chunks are read as
// stored into memory first, then inflated with libdeflate on every core
// twice, and only the second pass is timed. Prints the seconds, the chunk
// count and the bytes before and after.
//
//   inflate_floor FILE [THREADS]
#include <libdeflate.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "input/dataset_storage.h"
#include "input/input_file.h"

using erp2npx::Bytes;
using erp2npx::DatasetStorage;
using erp2npx::InputFile;
using erp2npx::OpenedDataset;

namespace {

struct Chunk {
  Bytes stored;
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

  // Opened and walked as the converter does.
  const std::shared_ptr<InputFile> file = InputFile::open(argv[1]).file;
  if (!file) return fail("cannot open the file");
  const OpenedDataset features = erp2npx::openInputDataset(*file, "/features");
  if (features.found != OpenedDataset::Found::kOpened) return fail("no readable /features");
  const erp2npx::Result<DatasetStorage> described =
      erp2npx::describeStorage(features.dataset.get());
  if (!described.ok()) return fail("no readable /features");
  const DatasetStorage& storage = *described;
  if (!storage.chunked) return fail("/features is not chunked");
  // Room for the widest samples, 8 bytes each.
  size_t chunkBytes = 8;
  for (const hsize_t extent : storage.grid.chunk()) chunkBytes *= extent;

  // Every chunk of the grid, read as stored.
  std::vector<Chunk> chunks;
  uint64_t storedBytes = 0;
  bool unreadable = false;
  storage.grid.forEachChunkBefore(storage.elements, [&](const hsize_t* origin) {
    const uint64_t bytes = erp2npx::storedChunkBytes(features.dataset.get(), origin);
    if (bytes == 0) return true;
    Chunk chunk;
    unreadable = !erp2npx::readStoredChunk(features.dataset.get(), origin, bytes, chunk.stored,
                                           chunk.filterMask)
                      .ok();
    storedBytes += bytes;
    chunks.push_back(std::move(chunk));
    return !unreadable;
  });
  if (unreadable) return fail("a chunk cannot be read");

  // The first pass is not timed: it brings the stored chunks into memory
  // the way the converter has them, hot from being read, where this
  // machine's first touch of a page would otherwise cost more than the
  // inflating.
  std::atomic<bool> failed{false};
  std::atomic<uint64_t> inflatedBytes{0};
  double seconds = 0;
  for (int pass = 0; pass < 2; ++pass) {
    std::atomic<size_t> next{0};
    inflatedBytes = 0;
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
          inflatedBytes += got;
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (failed) return fail("a chunk does not inflate (is /features deflated?)");
  std::printf("%.3f s to inflate %zu chunks, %llu bytes to %llu, on %u threads\n", seconds,
              chunks.size(), static_cast<unsigned long long>(storedBytes),
              static_cast<unsigned long long>(inflatedBytes.load()), threads);
  return 0;
}
