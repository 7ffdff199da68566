#pragma once
// Messages of internal failures that the kernel and the modules raise alike. Callers match on
// them exactly, so they change only together with the modules' interfaces.

namespace brenvox::texts {

inline constexpr const char kCapacityOverflow[] = "capacity overflow";

}  // namespace brenvox::texts
