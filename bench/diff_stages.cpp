// Times the two stages of diff on one file pair: the suffix sort of the old
// data and the scan over the new data, through the driver the module runs,
// so that the module's diff time can be split between them.
//
// Usage: diff_stages [--threads N] [--pieces BYTES] [--builtin-sort] [--no-aids]
//                    [--rank auto|always|never] [--no-lookahead]
//                    [--mapped auto|always|never] OLD NEW [OUT]
// The options run the driver otherwise than the module does (N threads,
// pieces of the given length, the built-in sort, no search aids, the rank
// array once the searches suggest it or from the start (the module never
// builds it), one search at a time, the mapped search from the start or
// never), for comparing the ways in one run.
// Prints one line of key=value figures: sort_seconds, scan_seconds (on the
// clock), sort_cpu_seconds, scan_cpu_seconds (processor time of all
// threads), entries, diff_bytes, extra_bytes, index_built and rank_built (1
// when the scan built the mapped search's index, the rank array) and
// library_sort (1 when libdivsufsort sorted the suffixes, which sets the
// memory the diff may use). With OUT it also writes the Delta as callers
// store it: OUT.control (each entry as three 8-byte integers), OUT.diff and
// OUT.extra. The benchmark compares these with the module's Delta, so that
// the split and the module's diff time measure the same work.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "codec/int64_codec.h"
#include "delta/delta_driver.h"
#include "delta/suffix_array.h"

namespace {

bool read_file(const char* path, std::vector<std::uint8_t>& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool write_file(const std::string& path, const std::vector<std::uint8_t>& data,
                std::size_t length) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(length));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  core::DiffSettings settings;
  int arg = 1;
  for (; arg < argc && argv[arg][0] == '-'; ++arg) {
    const std::string option = argv[arg];
    if (option == "--threads" && arg + 1 < argc) {
      settings.scan.threads = std::atoi(argv[++arg]);
    } else if (option == "--builtin-sort") {
      settings.sorter = core::SuffixSorter::kBuiltIn;
    } else if (option == "--no-aids") {
      settings.search_aids = false;
    } else if (option == "--no-lookahead") {
      settings.scan.lookahead = false;
    } else if (option == "--rank" && arg + 1 < argc) {
      const std::string use = argv[++arg];
      settings.suffix_rank = use == "always"  ? core::SuffixRankUse::kAlways
                             : use == "never" ? core::SuffixRankUse::kNever
                                              : core::SuffixRankUse::kAuto;
    } else if (option == "--pieces" && arg + 1 < argc) {
      settings.scan.piece_length = std::atoi(argv[++arg]);
    } else if (option == "--mapped" && arg + 1 < argc) {
      const std::string use = argv[++arg];
      settings.mapped_search = use == "always"  ? core::MappedSearchUse::kAlways
                               : use == "never" ? core::MappedSearchUse::kNever
                                                : core::MappedSearchUse::kAuto;
    } else {
      break;
    }
  }
  if (argc - arg != 2 && argc - arg != 3) {
    std::fprintf(stderr,
                 "usage: %s [--threads N] [--pieces BYTES] [--builtin-sort] [--no-aids] "
                 "[--rank auto|always|never] [--no-lookahead] [--mapped auto|always|never] "
                 "OLD NEW [OUT]\n",
                 argv[0]);
    return 2;
  }
  std::vector<std::uint8_t> old_data;
  std::vector<std::uint8_t> new_data;
  if (!read_file(argv[arg], old_data) || !read_file(argv[arg + 1], new_data)) {
    std::fprintf(stderr, "diff_stages: cannot read the pair\n");
    return 2;
  }
  if (old_data.size() >= 0x7fffffffu || new_data.size() >= 0x7fffffffu) {
    std::fprintf(stderr, "diff_stages: inputs must be below 2 GiB\n");
    return 2;
  }
  const auto old_length = static_cast<std::int32_t>(old_data.size());
  const auto new_length = static_cast<std::int32_t>(new_data.size());

  core::GrowableArray<core::ControlEntry> control;
  core::DiffTimings timings;
  if (!core::compute_delta(old_data.data(), old_length, new_data.data(), new_length, settings,
                           &control, &timings)) {
    std::fprintf(stderr, "diff_stages: out of memory\n");
    return 1;
  }
  const core::BlockLengths lengths = core::block_lengths(control.data(), control.size());
  std::vector<std::uint8_t> diff_block(static_cast<std::size_t>(lengths.diff));
  std::vector<std::uint8_t> extra_block(static_cast<std::size_t>(lengths.extra));
  core::write_delta_blocks(old_data.data(), old_length, new_data.data(), new_length, control.data(),
                           control.size(), diff_block.data(), extra_block.data());

  if (argc - arg == 3) {
    std::vector<std::uint8_t> control_bytes(control.size() * 3 * core::kInt64FormSize);
    std::uint8_t* form = control_bytes.data();
    for (std::size_t i = 0; i < control.size(); ++i) {
      const core::ControlEntry& entry = control[i];
      for (const std::int32_t item :
           {entry.diff_length, entry.extra_length, entry.old_adjustment}) {
        core::encode_int64_form(item, form);
        form += core::kInt64FormSize;
      }
    }
    const std::string out = argv[arg + 2];
    if (!write_file(out + ".control", control_bytes, control_bytes.size()) ||
        !write_file(out + ".diff", diff_block, diff_block.size()) ||
        !write_file(out + ".extra", extra_block, extra_block.size())) {
      std::fprintf(stderr, "diff_stages: cannot write the Delta to %s.*\n", out.c_str());
      return 2;
    }
  }
  std::printf(
      "sort_seconds=%.6f scan_seconds=%.6f sort_cpu_seconds=%.6f scan_cpu_seconds=%.6f "
      "entries=%zu diff_bytes=%lld extra_bytes=%lld index_built=%d rank_built=%d "
      "library_sort=%d\n",
      timings.sort_seconds, timings.scan_seconds, timings.sort_cpu_seconds,
      timings.scan_cpu_seconds, control.size(), static_cast<long long>(lengths.diff),
      static_cast<long long>(lengths.extra), timings.index_built ? 1 : 0,
      timings.rank_built ? 1 : 0,
      core::kLibrarySorter && settings.sorter == core::SuffixSorter::kFastest ? 1 : 0);
  return 0;
}
