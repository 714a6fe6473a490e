// Pairs of inputs described by their structure rather than their bytes:
// periodic units, stretches of them (a repeat count, a phase), literal
// bytes, and the edits a new version brings (a unit changed in one byte per
// period, a repeat count changed, bytes inserted or dropped, blocks moved).
// The fast paths of the search lean on exactly such structure, and on the
// thresholds its lengths cross. The differential suite describes pairs from
// a seed, the structured fuzz target from its input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace core_differential {

enum class Side { kOld, kNew, kBoth };

class StructuredPair {
 public:
  // Neither side grows past max_length bytes: what would is cut off.
  explicit StructuredPair(std::size_t max_length) : max_length_(max_length) {}

  // A unit: one period of a periodic stretch, at least one byte. Returns
  // its number.
  int add_unit(std::vector<std::uint8_t> unit) {
    if (unit.empty()) unit.push_back(0);
    units_.push_back(std::move(unit));
    return static_cast<int>(units_.size()) - 1;
  }

  // The unit with its byte at `at` (taken modulo the period) changed by
  // `change` (taken as 1 when 0): stretches of the two agree everywhere but
  // in one byte per period.
  int add_variant(int unit, std::size_t at, std::uint8_t change) {
    std::vector<std::uint8_t> variant = units_[unit];
    variant[at % variant.size()] += change != 0 ? change : 1;
    return add_unit(std::move(variant));
  }

  std::size_t unit_count() const { return units_.size(); }
  std::size_t period(int unit) const { return units_[unit].size(); }

  // `length` bytes of the unit repeated, starting `phase` bytes into it.
  void stretch(Side side, int unit, std::size_t phase, std::size_t length) {
    const std::vector<std::uint8_t>& bytes = units_[unit];
    for (std::vector<std::uint8_t>* data : sides(side)) {
      const std::size_t end = std::min(max_length_, data->size() + length);
      for (std::size_t k = phase % bytes.size(); data->size() < end; k = (k + 1) % bytes.size()) {
        data->push_back(bytes[k]);
      }
    }
  }

  void literal(Side side, const std::uint8_t* bytes, std::size_t length) {
    for (std::vector<std::uint8_t>* data : sides(side)) {
      data->insert(data->end(), bytes, bytes + std::min(length, max_length_ - data->size()));
    }
  }

  // Old bytes [from, from + length) appended to the new side: a block
  // copied or moved. `from` is taken modulo the old length.
  void copy_old(std::size_t from, std::size_t length) {
    if (old_.empty()) return;
    from %= old_.size();
    length = std::min({length, old_.size() - from, max_length_ - new_.size()});
    new_.insert(new_.end(), old_.begin() + from, old_.begin() + from + length);
  }

  // A single changed byte of the new side, at `at` modulo its length.
  void change_new(std::size_t at, std::uint8_t change) {
    if (!new_.empty()) new_[at % new_.size()] += change != 0 ? change : 1;
  }

  const std::vector<std::uint8_t>& old_data() const { return old_; }
  const std::vector<std::uint8_t>& new_data() const { return new_; }

 private:
  std::vector<std::vector<std::uint8_t>*> sides(Side side) {
    if (side == Side::kOld) return {&old_};
    if (side == Side::kNew) return {&new_};
    return {&old_, &new_};
  }

  std::size_t max_length_;
  std::vector<std::vector<std::uint8_t>> units_;
  std::vector<std::uint8_t> old_;
  std::vector<std::uint8_t> new_;
};

}  // namespace core_differential
