// Writes the Delta of each of a few generated pairs to a file of its own, so
// that the Deltas of two builds (Linux and Windows, 64 and 32 bits) can be
// compared byte for byte:
//   delta_pairs OUTPUT-DIR
// Each pair is made here from a fixed seed by integer arithmetic alone, so
// every platform makes the same bytes; the Delta comes from the one driver
// the module runs, with the module's settings (the library sort where the
// build links it, search aids, two scan threads where there are two cores),
// and is patched back before it is written. A file holds the entry count and
// the two block lengths, then every entry, each number in the module's 8-byte
// form, then the diff block and the extra block. Prints a line per pair and
// "N passed, M failed", a pair passing when its Delta patches back and is
// written.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/int64_codec.h"
#include "delta/delta_driver.h"
#include "patch/patch_apply.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// splitmix64: the same numbers from the same seed on every platform.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }
  Bytes bytes(std::size_t count) {
    Bytes out(count);
    for (std::uint8_t& byte : out) byte = static_cast<std::uint8_t>(next());
    return out;
  }

 private:
  std::uint64_t state_;
};

struct Pair {
  std::string name;
  Bytes old_data;
  Bytes new_data;
};

// Words from a small vocabulary, as in source text.
Bytes text(Generator& random, std::size_t size) {
  static const char* const kWords[] = {"delta", "patch", "return", "const", "the",  "old",
                                       "new",   "block", "entry",  "scan",  "int",  "if",
                                       "while", "for",   "suffix", "array", "byte", "\n"};
  Bytes out;
  while (out.size() < size) {
    const std::string word = kWords[random.below(sizeof kWords / sizeof kWords[0])];
    out.insert(out.end(), word.begin(), word.end());
    out.push_back(' ');
  }
  out.resize(size);
  return out;
}

// A new version of `old`: every `spacing` bytes or so, a change, an
// insertion or a deletion of a few bytes.
Bytes edited(Generator& random, const Bytes& old, std::uint32_t spacing) {
  Bytes out;
  std::size_t at = 0;
  while (at < old.size()) {
    const std::size_t run = std::min<std::size_t>(old.size() - at, 1 + random.below(2 * spacing));
    out.insert(out.end(), old.begin() + at, old.begin() + at + run);
    at += run;
    switch (random.below(3)) {
      case 0:
        if (!out.empty()) out.back() ^= static_cast<std::uint8_t>(1 + random.below(255));
        break;
      case 1: {
        const Bytes inserted = random.bytes(1 + random.below(32));
        out.insert(out.end(), inserted.begin(), inserted.end());
        break;
      }
      default:
        at += random.below(16);
        break;
    }
  }
  return out;
}

// Code after a relink: the same instructions with their 4-byte addresses
// moved by a constant, and a block inserted in the middle.
Pair relinked_code(Generator& random) {
  Pair pair{"relinked_code", random.bytes(512 * 1024), {}};
  pair.new_data = pair.old_data;
  for (std::size_t at = 0; at + 4 <= pair.new_data.size(); at += 64) pair.new_data[at + 1] += 16;
  const Bytes inserted = random.bytes(4096);
  pair.new_data.insert(pair.new_data.begin() + pair.new_data.size() / 2, inserted.begin(),
                       inserted.end());
  return pair;
}

// A block of random bytes repeated, and one byte inserted in the middle:
// the searches around it compare far, which sends the scan to the mapped
// search.
Pair long_period(Generator& random) {
  const Bytes block = random.bytes(1000);
  Pair pair{"long_period", {}, {}};
  while (pair.old_data.size() < (1u << 20)) {
    pair.old_data.insert(pair.old_data.end(), block.begin(), block.end());
  }
  pair.new_data = pair.old_data;
  pair.new_data.insert(pair.new_data.begin() + pair.new_data.size() / 2, '!');
  return pair;
}

std::vector<Pair> generated_pairs() {
  Generator random(20240521);
  std::vector<Pair> pairs;
  Bytes source = text(random, 256 * 1024);
  pairs.push_back({"edited_text", source, edited(random, source, 2000)});
  pairs.push_back(relinked_code(random));
  // Three pieces of new data of 1 MiB: the scan runs on two threads where
  // the machine has two cores.
  source = text(random, 3 << 20);
  pairs.push_back({"three_mib_text", source, edited(random, source, 10000)});
  pairs.push_back(long_period(random));
  pairs.push_back({"identical", random.bytes(100000), {}});
  pairs.back().new_data = pairs.back().old_data;
  pairs.push_back({"empty_old", {}, random.bytes(4096)});
  pairs.push_back({"empty_new", random.bytes(4096), {}});
  return pairs;
}

void append_form(Bytes* out, std::int64_t value) {
  std::uint8_t form[core::kInt64FormSize];
  core::encode_int64_form(value, form);
  out->insert(out->end(), form, form + core::kInt64FormSize);
}

// The Delta of the pair in the file's layout, or an empty array when diff
// failed or its Delta does not patch back to the new data.
Bytes delta_file(const Pair& pair, bool* index_built) {
  const auto old_length = static_cast<std::int32_t>(pair.old_data.size());
  const auto new_length = static_cast<std::int32_t>(pair.new_data.size());
  core::GrowableArray<core::ControlEntry> entries;
  core::DiffTimings timings;
  if (!core::compute_delta(pair.old_data.data(), old_length, pair.new_data.data(), new_length,
                           core::DiffSettings{}, &entries, &timings)) {
    return {};
  }
  *index_built = timings.index_built;
  const core::BlockLengths lengths = core::block_lengths(entries.data(), entries.size());
  Bytes diff_block(lengths.diff);
  Bytes extra_block(lengths.extra);
  core::write_delta_blocks(pair.old_data.data(), old_length, pair.new_data.data(), new_length,
                           entries.data(), entries.size(), diff_block.data(), extra_block.data());

  const core::PatchInputs inputs{pair.old_data.data(),
                                 old_length,
                                 new_length,
                                 diff_block.data(),
                                 static_cast<std::int32_t>(lengths.diff),
                                 extra_block.data(),
                                 static_cast<std::int32_t>(lengths.extra)};
  Bytes rebuilt(pair.new_data.size());
  core::PatchCursor cursor;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (core::check_control_entry(cursor, entries[i], inputs) != core::EntryFit::kFits) return {};
    core::apply_control_entry(cursor, entries[i], inputs, rebuilt.data());
  }
  if (!core::patch_complete(cursor, inputs) || rebuilt != pair.new_data) return {};

  Bytes out;
  append_form(&out, static_cast<std::int64_t>(entries.size()));
  append_form(&out, lengths.diff);
  append_form(&out, lengths.extra);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    append_form(&out, entries[i].diff_length);
    append_form(&out, entries[i].extra_length);
    append_form(&out, entries[i].old_adjustment);
  }
  out.insert(out.end(), diff_block.begin(), diff_block.end());
  out.insert(out.end(), extra_block.begin(), extra_block.end());
  return out;
}

bool write_file(const std::string& path, const Bytes& content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT-DIR\n", argv[0]);
    return 2;
  }
  int passed = 0;
  int failed = 0;
  for (const Pair& pair : generated_pairs()) {
    bool index_built = false;
    const Bytes delta = delta_file(pair, &index_built);
    const std::string path = std::string(argv[1]) + "/" + pair.name + ".delta";
    if (!delta.empty() && write_file(path, delta)) {
      std::printf("%s: %zu old bytes, %zu new bytes, Delta of %zu bytes%s\n", pair.name.c_str(),
                  pair.old_data.size(), pair.new_data.size(), delta.size(),
                  index_built ? " (mapped search)" : "");
      ++passed;
    } else {
      std::printf("%s: FAILED (diff, patch or writing %s)\n", pair.name.c_str(), path.c_str());
      ++failed;
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
