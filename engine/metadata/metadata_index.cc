#include "engine/metadata/metadata_index.h"

#include <cmath>

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
