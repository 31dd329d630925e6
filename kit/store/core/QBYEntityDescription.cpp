#include "store/core/QBYEntityDescription.h"

namespace qby {

int EntityDescription::attributeIndex(std::string_view attribute) const {
  for (std::size_t i = 0; i < attributes.size(); ++i)
    if (attributes[i].name == attribute) return static_cast<int>(i);
  return -1;
}

int EntityDescription::relationshipIndex(std::string_view relationship) const {
  for (std::size_t i = 0; i < relationships.size(); ++i)
    if (relationships[i].name == relationship) return static_cast<int>(i);
  return -1;
}

QBYManagedObjectModel::QBYManagedObjectModel(int version, std::vector<EntityDescription> entities,
                                             std::vector<QBYSchemaMigration> migrations)
    : version_(version), entities_(std::move(entities)), migrations_(std::move(migrations)) {}

const EntityDescription* QBYManagedObjectModel::entity(std::string_view name) const {
  for (const auto& entity : entities_)
    if (entity.name == name) return &entity;
  return nullptr;
}

}  // namespace qby
