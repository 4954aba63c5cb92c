#include "engine/metadata/metadata_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/util/huge_pages.h"

namespace kelpo {

bool MetadataIndex::indexable(const Json& value) {
  switch (value.type()) {
    case Json::value_t::boolean:
    case Json::value_t::string:
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return true;
    case Json::value_t::number_float: return !std::isnan(value.get_ref<const Json::number_float_t&>());
    default: return false;
  }
}

size_t MetadataIndex::ValueHash::operator()(const Json& v) const {
  // Agrees with json_equal: the kind (a boolean, a non-negative or negative
  // integer however stored, a float, a string) and the value's bytes, with
  // -0.0 read as 0.0. Other kinds are never keys of the index.
  uint8_t buf[9];
  auto keyed = [&](uint8_t kind, uint64_t bits) {
    buf[0] = kind;
    std::memcpy(buf + 1, &bits, 8);
    return static_cast<size_t>(siphash13(process_hash_key(), buf, sizeof buf));
  };
  switch (v.type()) {
    case Json::value_t::boolean: return keyed(1, v.get_ref<const Json::boolean_t&>() ? 1 : 0);
    case Json::value_t::number_unsigned: return keyed(2, v.get_ref<const Json::number_unsigned_t&>());
    case Json::value_t::number_integer: {
      const int64_t i = v.get_ref<const Json::number_integer_t&>();
      return keyed(i < 0 ? 3 : 2, static_cast<uint64_t>(i));
    }
    case Json::value_t::number_float: {
      double d = v.get_ref<const Json::number_float_t&>();
      if (d == 0.0) d = 0.0;
      return keyed(4, std::bit_cast<uint64_t>(d));
    }
    case Json::value_t::string: {
      const std::string& s = v.get_ref<const Json::string_t&>();
      return static_cast<size_t>(siphash13(process_hash_key(), s.data(), s.size())) ^ 5;
    }
    default: return json_hash(v);
  }
}

namespace {

// The double a comparison takes a metadata number as; NaN for anything else.
double number_of(const Json& value) {
  return value.is_number() ? value.get<double>() : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

void MetadataIndex::index(uint32_t slot, const Json* metadata) {
  if (metadata == nullptr || !metadata->is_object()) return;
  if (!mark_object(slot)) return;  // indexed already: the invariants hold for it
  for (const auto& [key, value] : metadata->get_ref<const Json::object_t&>()) {
    if (const double x = number_of(value); !std::isnan(x)) {
      auto numbers = numbers_.find(std::string_view(key));
      if (numbers == numbers_.end()) numbers = numbers_.emplace(key, OrderedNumbers()).first;
      numbers->second.insert(slot, x);
    }
  }
  index_values(slot, *metadata);
}

bool MetadataIndex::mark_object(uint32_t slot) {
  if (has_object(slot)) return false;
  if (objects_.size() <= slot / 64) objects_.resize(slot / 64 + 1, 0);
  objects_[slot / 64] |= uint64_t{1} << (slot % 64);
  ++object_count_;
  return true;
}

void MetadataIndex::index_values(uint32_t slot, const Json& object) {
  for (const auto& [key, value] : object.get_ref<const Json::object_t&>()) {
    if (indexable(value)) add_value(field_for(key, 0), slot, value);
  }
}

MetadataIndex::Field& MetadataIndex::field_for(const std::string& key, size_t slots) {
  auto entry = fields_.find(std::string_view(key));
  if (entry != fields_.end()) return entry->second;
  Field& field = fields_.emplace(key, Field()).first->second;
  reserve_huge(field.column, slots);
  reserve_huge(field.position, slots);
  field.column.resize(slots, nullptr);
  field.position.resize(slots, 0);
  return field;
}

void MetadataIndex::add_value(Field& field, uint32_t slot, const Json& value) {
  SlotSet& set = field.values[value];
  if (field.column.size() <= slot) {
    const size_t size = std::max<size_t>(size_t{slot} + 1, field.column.size() + field.column.size() / 2);
    field.column.resize(size, nullptr);
    field.position.resize(size, 0);
  }
  field.column[slot] = &set;
  field.position[slot] = static_cast<uint32_t>(set.slots_.size());
  set.slots_.push_back(slot);
}

void MetadataIndex::remove(uint32_t slot, const Json* metadata) {
  if (metadata == nullptr || !metadata->is_object()) return;
  if (has_object(slot)) {
    objects_[slot / 64] &= ~(uint64_t{1} << (slot % 64));
    --object_count_;
  }
  for (const auto& [key, value] : metadata->get_ref<const Json::object_t&>()) {
    if (const double x = number_of(value); !std::isnan(x)) {
      auto numbers = numbers_.find(std::string_view(key));
      if (numbers != numbers_.end() && numbers->second.erase(slot, x) && numbers->second.empty()) {
        numbers_.erase(numbers);
      }
    }
    if (!indexable(value)) continue;
    auto entry = fields_.find(std::string_view(key));
    if (entry == fields_.end()) continue;
    Field& field = entry->second;
    auto set = field.values.find(value);
    if (set == field.values.end()) continue;
    if (slot < field.column.size() && field.column[slot] == &set->second) {
      // The last slot of the set takes this one's place.
      std::vector<uint32_t>& slots = set->second.slots_;
      const uint32_t at = field.position[slot];
      const uint32_t moved = slots.back();
      slots[at] = moved;
      field.position[moved] = at;
      slots.pop_back();
      field.column[slot] = nullptr;
    }
    if (set->second.empty()) field.values.erase(set);
    if (field.values.empty()) fields_.erase(entry);
  }
}

void MetadataIndex::rebuild(const std::vector<SharedJson>& metadata,
                            const std::function<bool(uint32_t)>& is_deleted) {
  fields_.clear();
  numbers_.clear();
  objects_.assign((metadata.size() + 63) / 64, 0);
  object_count_ = 0;
  // The numbers are gathered and sorted once per field rather than inserted
  // one at a time.
  std::unordered_map<std::string, std::vector<std::pair<double, uint32_t>>, SeededStringHash, std::equal_to<>>
      gathered;
  // What the k-th key of the last object led to. The records of a collection
  // mostly share their keys, so this spares hashing each key twice per record.
  struct Recent {
    const std::string* key = nullptr;
    Field* field = nullptr;
    std::vector<std::pair<double, uint32_t>>* numbers = nullptr;
  };
  std::vector<Recent> recent;
  for (size_t s = 0; s < metadata.size(); ++s) {
    const auto slot = static_cast<uint32_t>(s);
    if (!metadata[s] || !metadata[s]->is_object() || (is_deleted && is_deleted(slot))) continue;
    size_t k = 0;
    for (const auto& [key, value] : metadata[s]->get_ref<const Json::object_t&>()) {
      if (k == recent.size()) recent.emplace_back();
      Recent& r = recent[k++];
      if (r.key == nullptr || *r.key != key) r = Recent{&key, nullptr, nullptr};
      if (const double x = number_of(value); !std::isnan(x)) {
        if (r.numbers == nullptr) r.numbers = &gathered[key];
        r.numbers->emplace_back(x, slot);
      }
      if (!indexable(value)) continue;
      if (r.field == nullptr) r.field = &field_for(key, metadata.size());
      add_value(*r.field, slot, value);
    }
    mark_object(slot);
  }
  for (auto& [key, entries] : gathered) numbers_[key].assign(std::move(entries));
}

const SlotSet* MetadataIndex::lookup(std::string_view field, const Json& value) const {
  auto f = fields_.find(field);
  if (f == fields_.end()) return nullptr;
  auto v = f->second.values.find(value);
  return v == f->second.values.end() ? nullptr : &v->second;
}

bool MetadataIndex::value_sets(std::string_view field, size_t limit, std::vector<const SlotSet*>* out) const {
  auto f = fields_.find(field);
  if (f == fields_.end()) {
    out->clear();
    return true;
  }
  if (f->second.values.size() > limit) return false;
  out->clear();
  for (const auto& [value, slots] : f->second.values) out->push_back(&slots);
  return true;
}

const std::vector<const SlotSet*>* MetadataIndex::column(std::string_view field) const {
  auto f = fields_.find(field);
  return f == fields_.end() ? nullptr : &f->second.column;
}

const OrderedNumbers* MetadataIndex::numbers(std::string_view field) const {
  auto f = numbers_.find(field);
  return f == numbers_.end() ? nullptr : &f->second;
}

bool MetadataIndex::has_field(std::string_view field) const { return fields_.find(field) != fields_.end(); }

size_t MetadataIndex::value_count(std::string_view field) const {
  auto f = fields_.find(field);
  return f == fields_.end() ? 0 : f->second.values.size();
}

}  // namespace kelpo
