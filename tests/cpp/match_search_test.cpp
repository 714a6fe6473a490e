// The longest-match search and its comparison rule. Every buffer is a vector
// of exactly its length, so the sanitizer build catches any read past one.
#include "delta/match_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "delta/mapped_search.h"
#include "delta/suffix_lcp.h"
#include "delta/suffix_rank.h"
#include "test_support.h"

namespace {

using core_test::Bytes;
using core_test::bytes;

TEST(CommonPrefixLength, StopsAtFirstDifferenceOrEitherEnd) {
  struct Case {
    const char* a;
    std::int32_t a_length;
    const char* b;
    std::int32_t b_length;
    std::int32_t expected;
  } const cases[] = {
      {"abc", 3, "abd", 3, 2},  {"abc", 3, "ab", 2, 2},   {"ab", 2, "abc", 3, 2},
      {"abc", 3, "abc", 3, 3},  {"xbc", 3, "abc", 3, 0},  {"abc", 0, "abc", 3, 0},
      {"abc", 3, "abc", -1, 0}, {"abc", -5, "abc", 3, 0},
  };
  for (const Case& c : cases) {
    const Bytes a(c.a, c.a + std::max(c.a_length, 0));
    const Bytes b(c.b, c.b + std::max(c.b_length, 0));
    EXPECT_EQ(core::common_prefix_length(a.data(), c.a_length, b.data(), c.b_length), c.expected)
        << c.a << " / " << c.b;
  }
}

// Both directions, a vector at a time and then byte by byte: every length
// around the vector width, with the first difference at every place.
TEST(CommonPrefixLength, AgreesWithBytewiseComparisonBothWays) {
  for (std::int32_t length = 0; length <= 50; ++length) {
    for (std::int32_t differ = 0; differ <= length; ++differ) {
      const Bytes a(length, 7);
      Bytes b(length, 7);
      if (differ < length) b[differ] = 8;
      EXPECT_EQ(core::common_prefix_length(a.data(), length, b.data(), length), differ)
          << "length " << length;
      // Mirrored: the difference lies differ bytes before the ends.
      Bytes c(length, 7);
      if (differ < length) c[length - 1 - differ] = 9;
      EXPECT_EQ(core::common_suffix_length(a.data() + length, c.data() + length, length), differ)
          << "length " << length;
      EXPECT_EQ(core::common_suffix_length(a.data() + length, c.data() + length, differ / 2),
                differ / 2);
    }
  }
}

struct Search {
  std::int32_t length;
  std::int32_t position;
};

Search search(const Bytes& old_data, const Bytes& target) {
  const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(old_data);
  EXPECT_EQ(suffix_array.size(), old_data.size() + 1);
  const auto old_length = static_cast<std::int32_t>(old_data.size());
  Search found{-1, -1};
  found.length = core::find_longest_match(suffix_array.data(), old_data.data(), old_length,
                                          target.data(), static_cast<std::int32_t>(target.size()),
                                          0, old_length, &found.position);
  return found;
}

TEST(FindLongestMatch, FollowsItsComparisonRule) {
  struct Case {
    const char* old_data;
    const char* target;
    Search expected;
  } const cases[] = {
      // abab and ab both compare equal over two bytes, so the high bound
      // moves down past abab to ab.
      {"abab", "ab", {2, 2}},
      // Both final candidates give 0; the tie goes to the high one, c.
      {"abc", "xyz", {0, 2}},
      // The probe at suffix a compares equal over its one byte and moves the
      // high bound below aa: the whole target at 0 is never reached.
      {"aa", "aa", {1, 1}},
      // aXaY and aY both share one byte with the target; the high one wins.
      {"aXaY", "aZ", {1, 2}},
      {"", "abc", {0, 0}},
      // The target runs past the end of every suffix.
      {"abc", "abcabcabcabc", {3, 0}},
      // Every suffix compares equal, so the high bound falls to the shortest.
      {"zzzz", "zzzzzzzzzzzzzzzzzz", {1, 3}},
      {"xyzabc", "bcdefghijkl", {2, 4}},
  };
  for (const Case& c : cases) {
    const Search found = search(bytes(c.old_data), bytes(c.target));
    EXPECT_EQ(found.length, c.expected.length) << c.old_data << " / " << c.target;
    EXPECT_EQ(found.position, c.expected.position) << c.old_data << " / " << c.target;
  }
}

// On any input the result is a real match that cannot be extended, at a
// suffix start; targets often reach past the end of the old data.
TEST(FindLongestMatch, ReturnsAMaximalMatchWithinBothRanges) {
  std::mt19937 random(11);
  for (int round = 0; round < 400; ++round) {
    const int alphabet = 1 + static_cast<int>(random() % 4);
    Bytes old_data(random() % 200), target(1 + random() % 300);
    for (auto& b : old_data) b = static_cast<std::uint8_t>('a' + random() % alphabet);
    for (auto& b : target) b = static_cast<std::uint8_t>('a' + random() % alphabet);
    const Search found = search(old_data, target);
    ASSERT_GE(found.position, 0);
    ASSERT_LE(found.position, static_cast<std::int32_t>(old_data.size()));
    const auto rest = static_cast<std::int32_t>(old_data.size()) - found.position;
    EXPECT_EQ(found.length,
              core::common_prefix_length(old_data.data() + found.position, rest, target.data(),
                                         static_cast<std::int32_t>(target.size())))
        << "round " << round;
  }
}

// Old data of one of five kinds: random bytes; a four-letter alphabet around
// 0x80, whose order a signed comparison would invert; a repeated phrase;
// zero runs broken now and then by a random byte; one zero run over most of
// the data, whose suffixes share more than the probe tree keeps.
Bytes sample_bytes(int kind, std::size_t size, std::mt19937& random) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = kind == 0   ? static_cast<std::uint8_t>(random())
              : kind == 1 ? static_cast<std::uint8_t>(0x7E + random() % 4)
              : kind == 2 ? static_cast<std::uint8_t>("abcabXYZabcabXYZabcab"[i % 21])
              : kind == 3 ? static_cast<std::uint8_t>(random() % 97 == 0 ? random() : 0)
                          : static_cast<std::uint8_t>(i < size / 10 * 7 ? 0 : random());
  }
  return data;
}

// The search's aids must never change an answer: every target is searched
// both ways. The inputs reach past the top table's depth, hold suffixes and
// targets shorter than a head, bytes above 127 (whose order a signed head
// would invert), long repeats (whose heads tie), runs of one byte value
// and repeated short periods, longer and shorter than the target's own.
TEST(FindLongestMatchAided, AgreesWithThePlainSearch) {
  std::mt19937 random(23);
  const std::size_t sizes[] = {0, 1, 2, 3, 8, 9, 17, 300, 5000, 20000};
  for (const std::size_t size : sizes) {
    for (int kind = 0; kind < 4; ++kind) {
      const Bytes old_data = sample_bytes(kind, size, random);
      const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(old_data);
      ASSERT_EQ(suffix_array.size(), size + 1);
      const auto old_length = static_cast<std::int32_t>(size);
      core::SearchAids aids;
      ASSERT_TRUE(core::make_search_aids(suffix_array.data(), old_data.data(), old_length,
                                         old_data.data(), old_length, &aids));

      for (int round = 0; round < 300; ++round) {
        Bytes target;
        const std::size_t length = 1 + random() % (round % 3 == 0 ? 10 : 400);
        if (size > 0 && round % 2 == 0) {
          // A stretch of the old data, perhaps running past its end, with
          // a changed byte now and then.
          const std::size_t from = random() % size;
          for (std::size_t i = 0; i < length; ++i) {
            target.push_back(from + i < size ? old_data[from + i]
                                             : static_cast<std::uint8_t>(random()));
          }
          if (random() % 2 == 1) target[random() % length] ^= 0x81;
        } else {
          for (std::size_t i = 0; i < length; ++i) {
            target.push_back(kind == 1   ? static_cast<std::uint8_t>(0x7E + random() % 4)
                             : kind == 3 ? static_cast<std::uint8_t>(i < length / 2 ? 0 : random())
                                         : static_cast<std::uint8_t>(random()));
          }
        }
        const auto target_length = static_cast<std::int32_t>(target.size());
        core::StretchList target_stretches;
        ASSERT_TRUE(core::find_stretches(target.data(), target_length, &target_stretches));
        Search plain{-1, -1};
        Search fast{-1, -1};
        plain.length =
            core::find_longest_match(suffix_array.data(), old_data.data(), old_length,
                                     target.data(), target_length, 0, old_length, &plain.position);
        fast.length = core::find_longest_match_aided(
            aids, suffix_array.data(), old_data.data(), old_length, target.data(), target_length,
            round % 5 == 0 ? core::PeriodicSpan{} : core::span_from(target_stretches, 0),
            &fast.position);
        ASSERT_EQ(fast.length, plain.length)
            << "size " << size << " kind " << kind << " round " << round;
        ASSERT_EQ(fast.position, plain.position)
            << "size " << size << " kind " << kind << " round " << round;
      }
    }
  }
}

// New data as a scan meets it: pieces of the old data, some with a changed
// byte, some running past the old data's end, between pieces of fresh
// bytes of the old data's kind.
Bytes edited_copy(const Bytes& old_data, int kind, std::size_t size, std::mt19937& random) {
  Bytes data;
  while (data.size() < size) {
    const std::size_t length = 1 + random() % 600;
    if (!old_data.empty() && random() % 4 != 0) {
      std::size_t from = random() % old_data.size();
      if (random() % 8 == 0) from = old_data.size() - std::min(old_data.size(), length / 2);
      for (std::size_t i = 0; i < length && from + i < old_data.size(); ++i) {
        data.push_back(old_data[from + i]);
      }
      if (random() % 3 == 0) data[data.size() - 1 - random() % std::min(data.size(), length)] ^= 1;
    } else {
      const Bytes fresh = sample_bytes(kind, length, random);
      data.insert(data.end(), fresh.begin(), fresh.end());
    }
  }
  data.resize(size);
  return data;
}

// The lookahead answers every request as the plain search would, whatever
// the order of requests: each position in turn, scan-like runs broken by
// jumps forward (past the batch, into it, to the same position again),
// and jumps back. The largest old data has a probe tree deeper than the
// levels that stay in the cache, and probes below it. With the rank array,
// the request after the last one is first settled where it continues: the
// new data copies stretches of the old data (so that matches go on for a
// while) and its tails (so that targets start with suffixes that are
// proper prefixes of them).
TEST(MatchLookahead, AgreesWithThePlainSearch) {
  std::mt19937 random(31);
  const std::size_t sizes[] = {0, 1, 2, 9, 300, 20000, 100000};
  for (const std::size_t size : sizes) {
    for (int kind = 0; kind < 5; ++kind) {
      const Bytes old_data = sample_bytes(kind, size, random);
      const Bytes new_data = edited_copy(old_data, kind, 1 + size / 2 + random() % 3000, random);
      const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(old_data);
      ASSERT_EQ(suffix_array.size(), size + 1);
      const auto old_length = static_cast<std::int32_t>(size);
      const auto new_length = static_cast<std::int32_t>(new_data.size());
      core::SearchAids aids;
      ASSERT_TRUE(core::make_search_aids(suffix_array.data(), old_data.data(), old_length,
                                         new_data.data(), new_length, &aids));
      core::SuffixRank ranks;
      ASSERT_TRUE(
          core::build_suffix_rank(suffix_array.data(), old_data.data(), old_length, 2, &ranks));

      for (const int way : {0, 1, 2}) {
        const bool aided = way != 1;
        core::MatchLookahead lookahead(aided ? &aids : nullptr, suffix_array.data(),
                                       old_data.data(), old_length, new_data.data(), new_length,
                                       way == 2 ? &ranks : nullptr);
        const auto check = [&](std::int32_t position) {
          Search plain{-1, -1};
          plain.length = core::find_longest_match(suffix_array.data(), old_data.data(), old_length,
                                                  new_data.data() + position, new_length - position,
                                                  0, old_length, &plain.position);
          const core::Match found = lookahead.find(position);
          EXPECT_EQ(found.length, plain.length) << "position " << position;
          EXPECT_EQ(found.position, plain.position) << "position " << position;
          return plain.length;
        };
        const std::string where = "size " + std::to_string(size) + " kind " + std::to_string(kind) +
                                  (way == 0   ? " aided"
                                   : way == 1 ? " unaided"
                                              : " ranked");
        SCOPED_TRACE(where);
        for (std::int32_t position = 0; position < new_length; ++position) check(position);
        for (std::int32_t position = 0; position < new_length;) {
          const std::int32_t length = check(position);
          switch (random() % 8) {
            case 0:  // the pass ends: the next starts past the match
              position += length;
              break;
            case 1:
              position += 1 + static_cast<std::int32_t>(random() % 100);
              break;
            case 2:
              position -= std::min<std::int32_t>(position, random() % 100);
              break;
            default:
              ++position;
          }
        }
        if (HasFailure()) return;
      }
    }
  }
}

// The rank array is the suffix array's inverse, filled by one thread or by
// several sharing it out, and the repeated tails it lists are exactly the
// tails of the old data that occur in it once more, up to its bound,
// whatever the data: none, a few, or (in periodic data) all of them.
TEST(SuffixRank, InvertsTheOrderAndListsTheRepeatedTails) {
  std::mt19937 random(53);
  for (int round = 0; round < 60; ++round) {
    const std::size_t size = round == 0                          ? 0
                             : round % 10 == 1 && round % 3 != 0 ? 300000
                                                                 : 1 + random() % 5000;
    Bytes old_data(size);
    const std::size_t period = 1 + random() % 40;
    for (std::size_t i = 0; i < size; ++i) {
      old_data[i] = round % 3 == 0 && i >= period ? old_data[i - period]
                                                  : static_cast<std::uint8_t>(random() % 3);
    }
    const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(old_data);
    const auto old_length = static_cast<std::int32_t>(size);
    core::SuffixRank ranks;
    ASSERT_TRUE(core::build_suffix_rank(suffix_array.data(), old_data.data(), old_length,
                                        1 + round % 4, &ranks));
    for (std::int32_t i = 0; i <= old_length; ++i) {
      ASSERT_EQ(ranks.rank[static_cast<std::size_t>(suffix_array[i])], i) << "round " << round;
    }
    const auto repeats = [&](std::int32_t length) {
      const auto* tail = old_data.data() + size - length;
      for (std::int32_t start = 0; start + length < old_length; ++start) {
        if (std::memcmp(old_data.data() + start, tail, static_cast<std::size_t>(length)) == 0) {
          return true;
        }
      }
      return false;
    };
    std::int32_t repeated = 0;
    while (repeated < old_length && repeats(repeated + 1)) ++repeated;
    if (repeated > core::kMaxListedTails) {
      EXPECT_EQ(ranks.tails_known_to, core::kMaxListedTails) << "round " << round;
      EXPECT_EQ(ranks.tail_count, core::kMaxListedTails) << "round " << round;
    } else {
      EXPECT_EQ(ranks.tails_known_to, INT32_MAX) << "round " << round;
      EXPECT_EQ(ranks.tail_count, repeated) << "round " << round;
    }
  }
}

// Where the search one position before continues, the order says where the
// target lies; but the search's path may turn at a suffix that is a proper
// prefix of the target, and end elsewhere. At "bb" in the new data below,
// the continuation's neighbours would give the match bb at 3; the path
// meets the old data's last byte b first, whose equality sends it left, and
// the answer is b at 4. Along a copy of the old data the continuation
// settles every search after the first.
TEST(MatchLookahead, ContinuationsEndWhereTheSearchEnds) {
  struct Case {
    const char* old_data;
    const char* new_data;
  } const cases[] = {{"ababb", "aabb"}, {"abcabcab", "abcabcab"}, {"aa", "aaa"}, {"ba", "ab"}};
  for (const Case& c : cases) {
    const Bytes old_data = bytes(c.old_data);
    const Bytes new_data = bytes(c.new_data);
    const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(old_data);
    const auto old_length = static_cast<std::int32_t>(old_data.size());
    const auto new_length = static_cast<std::int32_t>(new_data.size());
    core::SuffixRank ranks;
    ASSERT_TRUE(
        core::build_suffix_rank(suffix_array.data(), old_data.data(), old_length, 1, &ranks));
    core::MatchLookahead lookahead(nullptr, suffix_array.data(), old_data.data(), old_length,
                                   new_data.data(), new_length, &ranks);
    for (std::int32_t position = 0; position < new_length; ++position) {
      Search plain{-1, -1};
      plain.length = core::find_longest_match(suffix_array.data(), old_data.data(), old_length,
                                              new_data.data() + position, new_length - position, 0,
                                              old_length, &plain.position);
      const core::Match found = lookahead.find(position);
      EXPECT_EQ(found.length, plain.length)
          << c.old_data << " / " << c.new_data << " at " << position;
      EXPECT_EQ(found.position, plain.position)
          << c.old_data << " / " << c.new_data << " at " << position;
    }
  }
  const Bytes old_data = bytes("ababb");
  const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(old_data);
  Search at_two{-1, -1};
  at_two.length = core::find_longest_match(suffix_array.data(), old_data.data(), 5,
                                           bytes("bb").data(), 2, 0, 5, &at_two.position);
  EXPECT_EQ(at_two.length, 1);
  EXPECT_EQ(at_two.position, 4);
}

// The mapped search must give the plain search's answer at every position
// of the new data, carrying its mapping from search to search: in order, as
// a scan searches, and then by jumps either way. The inputs repeat with
// periods from 1 to 300, hold an insertion that shifts a long repeat by one
// byte, or copy blocks of random old data; every mapping kept must be true.
TEST(FindLongestMatchMapped, AgreesWithThePlainSearchEverywhere) {
  std::mt19937 random(41);
  for (int input = 0; input < 60; ++input) {
    const std::size_t period = input < 44 ? 1 + 7 * input : input < 52 ? 65 : 0;
    Bytes old_data(period > 0 ? 600 + 3 * period + random() % 1500 : 3000 + random() % 3000);
    for (std::size_t i = 0; i < old_data.size(); ++i) {
      old_data[i] = period > 0 && i >= period ? old_data[i - period]
                                              : static_cast<std::uint8_t>(random() % 4 * 60);
    }
    Bytes new_data = old_data;
    new_data.insert(new_data.begin() + random() % old_data.size(), '!');
    if (period == 0) {  // blocks of the old data copied in
      for (int copy = 0; copy < 6; ++copy) {
        const std::size_t from = random() % old_data.size();
        const std::size_t end = std::min(old_data.size(), from + 300 + random() % 700);
        new_data.insert(new_data.begin() + random() % new_data.size(), old_data.begin() + from,
                        old_data.begin() + end);
      }
    } else if (input % 2 == 1) {
      new_data[random() % new_data.size()] ^= 0x40;
    }
    const std::vector<std::int32_t> suffix_array = core_test::suffix_array_of(old_data);
    const auto old_length = static_cast<std::int32_t>(old_data.size());
    const auto new_length = static_cast<std::int32_t>(new_data.size());
    core::SuffixLcpIndex index;
    core::SearchAids aids;
    ASSERT_TRUE(
        core::build_suffix_lcp_index(suffix_array.data(), old_data.data(), old_length, &index));
    ASSERT_TRUE(core::make_search_aids(suffix_array.data(), old_data.data(), old_length,
                                       new_data.data(), new_length, &aids));
    core::MatchMapping mapping;
    for (std::int32_t step = 0; step < 2 * new_length; ++step) {
      const std::int32_t position =
          step < new_length ? step : static_cast<std::int32_t>(random() % new_length);
      Search plain{-1, -1};
      Search mapped{-1, -1};
      plain.length = core::find_longest_match(suffix_array.data(), old_data.data(), old_length,
                                              new_data.data() + position, new_length - position, 0,
                                              old_length, &plain.position);
      mapped.length = core::find_longest_match_mapped(
          index, input % 3 == 0 ? nullptr : &aids, suffix_array.data(), old_data.data(), old_length,
          new_data.data(), new_length, position, &mapping, &mapped.position);
      ASSERT_EQ(mapped.length, plain.length) << "input " << input << " position " << position;
      ASSERT_EQ(mapped.position, plain.position) << "input " << input << " position " << position;
      ASSERT_LE(mapping.new_start + mapping.length, new_length);
      ASSERT_LE(mapping.old_start + mapping.length, old_length);
      ASSERT_EQ(std::memcmp(new_data.data() + mapping.new_start,
                            old_data.data() + mapping.old_start, mapping.length),
                0);
    }
  }
}

}  // namespace
