// Times the two stages of diff on one file pair: the suffix sort of the old
// data and the scan over the new data, through the same pure functions the
// module calls, so that the module's diff time can be split between them.
//
// Usage: diff_stages OLD NEW [OUT]
// Prints one line of key=value figures: sort_seconds, scan_seconds, entries,
// diff_bytes, extra_bytes. With OUT it also writes the Delta as callers
// store it: OUT.control (each entry as three 8-byte integers), OUT.diff and
// OUT.extra. The benchmark compares these with the module's Delta, so that
// the split and the module's diff time measure the same work.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "codec/int64_codec.h"
#include "delta/delta_scan.h"
#include "delta/match_search.h"
#include "delta/suffix_array.h"

namespace {

bool read_file(const char* path, std::vector<std::uint8_t>& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool write_file(const std::string& path, const std::vector<std::uint8_t>& data,
                std::size_t length) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(length));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s OLD NEW [OUT]\n", argv[0]);
    return 2;
  }
  std::vector<std::uint8_t> old_data;
  std::vector<std::uint8_t> new_data;
  if (!read_file(argv[1], old_data) || !read_file(argv[2], new_data)) {
    std::fprintf(stderr, "diff_stages: cannot read the pair\n");
    return 2;
  }
  if (old_data.size() >= 0x7fffffffu || new_data.size() >= 0x7fffffffu) {
    std::fprintf(stderr, "diff_stages: inputs must be below 2 GiB\n");
    return 2;
  }
  const auto old_length = static_cast<std::int32_t>(old_data.size());
  const auto new_length = static_cast<std::int32_t>(new_data.size());

  // Allocated and touched before the clock starts, as the module's buffers
  // are allocated before its sort: page faults are not the sort's cost.
  std::vector<std::int32_t> suffix_array(old_data.size() + 1, 0);
  std::vector<std::int32_t> rank(old_data.size() + 1, 0);
  std::vector<std::uint8_t> diff_block(new_data.size() + 1, 0);
  std::vector<std::uint8_t> extra_block(new_data.size() + 1, 0);

  auto start = std::chrono::steady_clock::now();
  if (!core::build_suffix_array(suffix_array.data(), rank.data(), old_data.data(), old_length)) {
    std::fprintf(stderr, "diff_stages: out of memory in the sort\n");
    return 1;
  }
  const double sort_seconds = seconds_since(start);

  // The scan's time includes making the search's aids, as diff makes them
  // after its sort.
  start = std::chrono::steady_clock::now();
  const std::unique_ptr<core::SearchAids> aids = core::make_search_aids(
      suffix_array.data(), old_data.data(), old_length, new_data.data(), new_length);
  core::MatchLookahead lookahead(aids.get(), suffix_array.data(), old_data.data(), old_length,
                                 new_data.data(), new_length);
  const core::DeltaInputs inputs{old_data.data(),     old_length, new_data.data(), new_length,
                                 suffix_array.data(), aids.get(), &lookahead};
  core::DeltaScan scan;
  std::vector<core::ControlEntry> control;
  while (!core::scan_finished(scan, inputs)) {
    if (core::run_scan_pass(scan, inputs)) {
      const core::ControlEntry entry =
          core::emit_control_entry(scan, inputs, diff_block.data(), extra_block.data());
      control.push_back(entry);
    }
  }
  const double scan_seconds = seconds_since(start);

  if (argc == 4) {
    std::vector<std::uint8_t> control_bytes(control.size() * 3 * core::kInt64FormSize);
    std::uint8_t* form = control_bytes.data();
    for (const core::ControlEntry& entry : control) {
      for (const std::int32_t item :
           {entry.diff_length, entry.extra_length, entry.old_adjustment}) {
        core::encode_int64_form(item, form);
        form += core::kInt64FormSize;
      }
    }
    const std::string out = argv[3];
    if (!write_file(out + ".control", control_bytes, control_bytes.size()) ||
        !write_file(out + ".diff", diff_block, static_cast<std::size_t>(scan.diff_fill)) ||
        !write_file(out + ".extra", extra_block, static_cast<std::size_t>(scan.extra_fill))) {
      std::fprintf(stderr, "diff_stages: cannot write the Delta to %s.*\n", argv[3]);
      return 2;
    }
  }
  std::printf("sort_seconds=%.6f scan_seconds=%.6f entries=%zu diff_bytes=%d extra_bytes=%d\n",
              sort_seconds, scan_seconds, control.size(), scan.diff_fill, scan.extra_fill);
  return 0;
}
