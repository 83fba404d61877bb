// Insertion-ordered sets and maps of values (nodes, worlds, rule instances).
//
// The engine iterates its sets of variables, formulas, worlds and rule
// instances; keeping insertion order makes every run, every tree and every
// rendering deterministic.  Small containers are scanned linearly (a branch
// rarely holds more than a dozen worlds); past a threshold a hash index is
// built and kept up to date.  Both only grow at the end, and `pop_back`
// takes back the last insertion, which is what an undo log needs.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/limits.hpp"

namespace core {

using limits::kOrderedScanLimit;

template <typename T, typename Hash = std::hash<T>, typename Eq = std::equal_to<T>>
class OrderedValueSet {
 public:
  OrderedValueSet() = default;
  OrderedValueSet(std::initializer_list<T> items) {
    for (const auto& item : items) insert(item);
  }

  bool contains(const T& value) const { return position(value) != npos; }

  bool insert(const T& value) {
    if (contains(value)) return false;
    items_.push_back(value);
    if (!index_.empty()) {
      index_.emplace(value, items_.size() - 1);
    } else if (items_.size() > kOrderedScanLimit) {
      for (std::size_t i = 0; i < items_.size(); ++i) index_.emplace(items_[i], i);
    }
    return true;
  }

  void insert_all(const OrderedValueSet& other) {
    for (const auto& item : other.items_) insert(item);
  }

  // Removes the member inserted last.
  void pop_back() {
    if (!index_.empty()) index_.erase(items_.back());
    items_.pop_back();
  }

  // Removes a member wherever it stands; later members keep their order
  // (and only their positions are renumbered: removing the member inserted
  // last costs no more than pop_back).
  bool erase(const T& value) {
    std::size_t i = position(value);
    if (i == npos) return false;
    if (!index_.empty()) index_.erase(items_[i]);
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
    if (!index_.empty())
      for (std::size_t j = i; j < items_.size(); ++j) index_.find(items_[j])->second = j;
    return true;
  }

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }
  const std::vector<T>& items() const { return items_; }

  // Same members, whatever the order.
  bool operator==(const OrderedValueSet& other) const {
    if (size() != other.size()) return false;
    for (const auto& item : items_)
      if (!other.contains(item)) return false;
    return true;
  }

 private:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  std::size_t position(const T& value) const {
    if (index_.empty()) {
      Eq eq;
      for (std::size_t i = 0; i < items_.size(); ++i)
        if (eq(items_[i], value)) return i;
      return npos;
    }
    auto it = index_.find(value);
    return it == index_.end() ? npos : it->second;
  }

  std::vector<T> items_;
  std::unordered_map<T, std::size_t, Hash, Eq> index_;
};

// A map that keeps its keys in insertion order.
template <typename K, typename V, typename Hash = std::hash<K>, typename Eq = std::equal_to<K>>
class OrderedMap {
 public:
  using Entry = std::pair<K, V>;
  OrderedMap() = default;
  OrderedMap(std::initializer_list<Entry> entries) {
    for (const auto& [key, value] : entries) set(key, value);
  }

  const V* find(const K& key) const {
    auto i = position(key);
    return i == npos ? nullptr : &entries_[i].second;
  }
  V* find(const K& key) {
    auto i = position(key);
    return i == npos ? nullptr : &entries_[i].second;
  }
  bool contains(const K& key) const { return position(key) != npos; }

  // The entry of `key`, created empty (and appended) when missing.
  V& operator[](const K& key) {
    auto i = position(key);
    if (i != npos) return entries_[i].second;
    entries_.emplace_back(key, V{});
    if (!index_.empty()) {
      index_.emplace(key, entries_.size() - 1);
    } else if (entries_.size() > kOrderedScanLimit) {
      for (std::size_t j = 0; j < entries_.size(); ++j) index_.emplace(entries_[j].first, j);
    }
    return entries_.back().second;
  }

  // Sets the entry of `key`; an existing key keeps its position.
  void set(const K& key, V value) { (*this)[key] = std::move(value); }

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  // The position of the key's entry in insertion order, or npos.
  std::size_t index_of(const K& key) const { return position(key); }
  V& value_at(std::size_t i) { return entries_[i].second; }
  const V& value_at(std::size_t i) const { return entries_[i].second; }
  // Removes the entry inserted last.
  void pop_back() {
    if (!index_.empty()) index_.erase(entries_.back().first);
    entries_.pop_back();
  }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const std::vector<Entry>& entries() const { return entries_; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  auto begin() { return entries_.begin(); }
  auto end() { return entries_.end(); }

  // Same keys with equal values, whatever the order.
  bool operator==(const OrderedMap& other) const {
    if (size() != other.size()) return false;
    for (const auto& [key, value] : entries_) {
      const V* theirs = other.find(key);
      if (!theirs || !(*theirs == value)) return false;
    }
    return true;
  }

 private:
  std::size_t position(const K& key) const {
    if (index_.empty()) {
      Eq eq;
      for (std::size_t i = 0; i < entries_.size(); ++i)
        if (eq(entries_[i].first, key)) return i;
      return npos;
    }
    auto it = index_.find(key);
    return it == index_.end() ? npos : it->second;
  }

  std::vector<Entry> entries_;
  std::unordered_map<K, std::size_t, Hash, Eq> index_;
};

}  // namespace core
