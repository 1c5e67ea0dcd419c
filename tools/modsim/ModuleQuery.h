// The module query (command 73) and the entity store (class 92, index 0).
//
// Query sub-codes and replies:
//   0xFF build          -> 73, 0xFF, build (32-bit)
//   1 command, option, index, flags -> 73, 1, command, option, index, answer
//        (0 when implemented with the get 0x40 / set 0x80 direction asked,
//        0 flags = either; else aErrInvalidEntity or aErrInvalidOption)
//   4 command           -> 73, 4, command, entities of that class
//   5 command, subclass -> 73, 5, command, subclass, count (slots of store
//        `subclass` for command 4, else 0)
//   6 command, subclass -> 73, 6, command, subclass, count (the class's
//        entities for group 0, else 0)
// Unknown sub-codes or wrong lengths: 73, sub-code | 0x80, aErrParam.
//
// Entity store: options 0 save, 1 factory defaults, 2 load, each a set with
// a 32-bit value whose low 16 bits are class << 8 | index; acknowledged
// with the value echoed, or aErrInvalidEntity for an entity the module
// does not keep.
#pragma once

#include "Packet.h"

namespace modsim {

class ModuleFirmware;
class VirtualModule;

void answerQuery(VirtualModule& module, ModuleFirmware& firmware, const Packet& packet);
void answerEntityStore(VirtualModule& module, ModuleFirmware& firmware, const Packet& packet);

}  // namespace modsim
