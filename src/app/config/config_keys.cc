#include "app/config/config_keys.h"

#include <cstring>

int32_t config_field_value(const ConfigFileFields& record, const FieldRef& field) {
  switch (field.kind) {
    case FieldRef::Kind::kInt:
      return (record.*field.int_field).load();
    case FieldRef::Kind::kByte:
      return (record.*field.byte_field).load();
    case FieldRef::Kind::kPowerSource:
      return record.power_sources[field.element].load();
    case FieldRef::Kind::kPassword:
      break;
  }
  return 0;
}

void set_config_field(ConfigFileFields& record, const FieldRef& field, int32_t value) {
  switch (field.kind) {
    case FieldRef::Kind::kInt:
      record.*field.int_field = value;
      break;
    case FieldRef::Kind::kByte:
      record.*field.byte_field = static_cast<uint8_t>(value);
      break;
    case FieldRef::Kind::kPowerSource:
      record.power_sources[field.element] = value;
      break;
    case FieldRef::Kind::kPassword:
      break;
  }
}

void config_set_defaults(ConfigFileFields& record) {
  for (const ConfigKey& key : kConfigKeys) {
    set_config_field(record, key.field, key.defaultValue);
  }
  memset(record.encrypt_password, 0, sizeof record.encrypt_password);
}

void config_copy_fields(const ConfigFileFields& source, ConfigFileFields& target) {
  for (const ConfigKey& key : kConfigKeys) {
    set_config_field(target, key.field, config_field_value(source, key.field));
  }
  memcpy(target.encrypt_password, source.encrypt_password, sizeof target.encrypt_password);
}
