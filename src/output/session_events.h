#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

namespace erp2npx {

// Sample positions of one trial: its first epoch's first position, and the
// position just past its last epoch.
struct TrialSpan {
  int32_t beginSample = 0;
  int32_t endSample = 0;
};

// An ordered map held as one sorted vector: an entry costs its own bytes, where
// a tree node costs some 40 more, and a session of any number of trials keeps
// its bookkeeping small. Entries come in ascending order, so inserting is
// appending.
template <typename Key, typename Value>
class FlatMap {
 public:
  using value_type = std::pair<Key, Value>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  FlatMap() = default;
  FlatMap(std::initializer_list<value_type> entries) {
    for (const value_type& entry : entries) (*this)[entry.first] = entry.second;
  }

  Value& operator[](const Key& key) {
    auto at = lowerBound(key);
    if (at == entries_.end() || at->first != key)
      at = entries_.insert(at, value_type{key, Value{}});
    return at->second;
  }
  const Value& at(const Key& key) const {
    const auto found = find(key);
    if (found == end()) throw std::out_of_range("no such key");
    return found->second;
  }
  const_iterator find(const Key& key) const {
    const auto at = std::lower_bound(
        entries_.begin(), entries_.end(), key,
        [](const value_type& entry, const Key& wanted) { return entry.first < wanted; });
    return at != entries_.end() && at->first == key ? at : entries_.end();
  }
  size_t count(const Key& key) const { return find(key) != end() ? 1 : 0; }
  size_t erase(const Key& key) {
    const auto found = find(key);
    if (found == end()) return 0;
    entries_.erase(found);
    return 1;
  }
  void reserve(size_t size) { entries_.reserve(size); }

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  friend bool operator==(const FlatMap& a, const FlatMap& b) { return a.entries_ == b.entries_; }
  friend bool operator==(const FlatMap& a, const std::map<Key, Value>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
      return x.first == y.first && x.second == y.second;
    });
  }

 private:
  iterator lowerBound(const Key& key) {
    if (entries_.empty() || entries_.back().first < key) return entries_.end();
    return std::lower_bound(
        entries_.begin(), entries_.end(), key,
        [](const value_type& entry, const Key& wanted) { return entry.first < wanted; });
  }

  std::vector<value_type> entries_;
};

// Where every epoch and trial of one session lands in its binary file.
struct SessionEvents {
  std::map<int32_t, std::vector<int32_t>> codeOffsets;
  std::vector<int32_t> targetOffsets;
  std::vector<int32_t> standardOffsets;
  FlatMap<int32_t, TrialSpan> trialSpans;
  FlatMap<int32_t, int32_t> trialTargetRow;
  FlatMap<int32_t, int32_t> trialTargetColumn;
  int32_t totalSamples = 0;
};

}  // namespace erp2npx
