// Port names for the backends: "COMn" and "LPTn" (also as \\.\COMn or with a colon) to the
// device behind them. What the process mapped itself comes first, then VTL_COMn / VTL_LPTn, then
// the machine's own port, which each backend names in its own way.
#pragma once

#include <string>

namespace vtl::platform::port_names {

// A port name as "COMn" or "LPTn" with n written plainly; empty for any other name.
std::string Key(const std::string& name);
// What the process mapped `key` to (DefineDosDeviceA); empty when nothing.
std::string Defined(const std::string& key);
// VTL_<key>; empty when unset.
std::string FromEnvironment(const std::string& key);
// False under VTL_NO_SYSTEM_PORTS: no name then reaches a port of the machine.
bool SystemPortsAllowed();
// The device a port name opens: the name itself when it is no port name, empty when the port
// stands for no device.
std::string Map(const std::string& name);

// Each backend's: the machine's device for port `key` (number `n` > 0), empty for none; and
// whether the machine has that port, so that a free name is never one of its own.
std::string SystemDevice(const std::string& key, unsigned long long n);
bool SystemHas(const std::string& key, int n);

}  // namespace vtl::platform::port_names
