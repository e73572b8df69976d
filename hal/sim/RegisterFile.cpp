// The simulated register file: reset values and name lookups from the register
// tables, and the traffic log.
#include "orvane/sim/RegisterFile.h"

#include <stdexcept>

#include "orvane/hal/RegisterMap.h"
#include "orvane/hal/RegisterTables.h"

namespace orvane::sim {

namespace {

const RegisterMap& eventSensor() {
    static const RegisterMap map =
        RegisterMap::fromTable(imx636RegisterTable, kImx636RegisterTableRows);
    return map;
}

const RegisterMap& frameSensor() {
    static const RegisterMap map =
        RegisterMap::fromTable(imx415RegisterTable, kImx415RegisterTableRows);
    return map;
}

const Register& lookup(const std::string& name) {
    for (const RegisterMap* map : {&eventSensor(), &frameSensor()}) {
        if (const Register* reg = map->find(name)) {
            return *reg;
        }
    }
    throw std::logic_error("simulated register file: no register \"" + name + "\"");
}

void reset(const RegisterMap& map, std::map<uint32_t, uint32_t>& values) {
    for (const auto& [name, reg] : map.registers()) {
        values[reg.get_address()] = reg.get_default_value();
    }
}

}  // namespace

RegisterFile::RegisterFile(bool withFrameSensor) {
    reset(eventSensor(), values_);
    if (withFrameSensor) {
        reset(frameSensor(), values_);
    }
}

uint32_t RegisterFile::address(const std::string& reg) {
    return lookup(reg).get_address();
}

RegisterFile::Field RegisterFile::field(const std::string& reg, const std::string& field) {
    const Register& r = lookup(reg);
    const Register::Field* f = r.find(field);
    if (f == nullptr) {
        throw std::logic_error("simulated register file: no field \"" + field + "\" in \"" + reg +
                               "\"");
    }
    return {r.get_address(), f->get_start(), f->get_len()};
}

uint32_t RegisterFile::value(uint32_t address) const {
    auto it = values_.find(address);
    return it == values_.end() ? 0 : it->second;
}

uint32_t RegisterFile::value(const Field& field) const {
    const uint32_t mask = field.length >= 32 ? 0xFFFFFFFFu : ((1u << field.length) - 1);
    return (value(field.address) >> field.start) & mask;
}

uint32_t RegisterFile::read(uint32_t address) {
    const uint32_t v = value(address);
    traffic_.push_back({RegisterAccess::Read, address, v, 0});
    return v;
}

void RegisterFile::write(uint32_t address, uint32_t value) {
    values_[address] = value;
    traffic_.push_back({RegisterAccess::Write, address, value, 0});
}

}  // namespace orvane::sim
