#include "engine/metadata/metadata_index.h"

#include <bit>
#include <cmath>
#include <cstring>

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

void MetadataIndex::index(uint32_t slot, const Json* metadata) {
  if (metadata == nullptr || !metadata->is_object()) return;
  for (const auto& [key, value] : metadata->get_ref<const Json::object_t&>()) {
    if (!indexable(value)) continue;
    auto field = fields_.find(std::string_view(key));
    if (field == fields_.end()) field = fields_.emplace(key, ValueMap()).first;
    field->second[value].insert(slot);
  }
}

void MetadataIndex::remove(uint32_t slot, const Json* metadata) {
  if (metadata == nullptr || !metadata->is_object() || fields_.empty()) return;
  for (const auto& [key, value] : metadata->get_ref<const Json::object_t&>()) {
    if (!indexable(value)) continue;
    auto field = fields_.find(std::string_view(key));
    if (field == fields_.end()) continue;
    auto entry = field->second.find(value);
    if (entry == field->second.end()) continue;
    entry->second.erase(slot);
    if (entry->second.empty()) field->second.erase(entry);
    if (field->second.empty()) fields_.erase(field);
  }
}

void MetadataIndex::rebuild(const std::vector<std::optional<Json>>& metadata,
                            const std::function<bool(uint32_t)>& is_deleted) {
  fields_.clear();
  for (size_t s = 0; s < metadata.size(); ++s) {
    const auto slot = static_cast<uint32_t>(s);
    if (metadata[s].has_value() && !(is_deleted && is_deleted(slot))) index(slot, &*metadata[s]);
  }
}

const SlotSet* MetadataIndex::lookup(std::string_view field, const Json& value) const {
  auto f = fields_.find(field);
  if (f == fields_.end()) return nullptr;
  auto v = f->second.find(value);
  return v == f->second.end() ? nullptr : &v->second;
}

bool MetadataIndex::has_field(std::string_view field) const { return fields_.find(field) != fields_.end(); }

size_t MetadataIndex::value_count(std::string_view field) const {
  auto f = fields_.find(field);
  return f == fields_.end() ? 0 : f->second.size();
}

}  // namespace kelpo
