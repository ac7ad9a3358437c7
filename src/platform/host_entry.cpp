// The answer of a host look-up laid out as the caller's HOSTENT block, the same on every system.
#include <algorithm>
#include <cstring>

#include "platform/winsock.h"

namespace vtl::platform {

int WriteHostEntry(const HostLookup& lookup, char* buffer, int length) {
  constexpr std::size_t kMaxAddresses = 16;
  constexpr std::size_t kMaxName = 255;
  const std::string name = lookup.officialName.substr(0, kMaxName);
  const std::size_t count = std::min(lookup.addresses.size(), kMaxAddresses);
  const std::size_t ptr = sizeof(char*);
  std::size_t at = sizeof(HOSTENT);
  at = (at + ptr - 1) / ptr * ptr;
  const std::size_t aliases = at;
  at += ptr;
  const std::size_t list = at;
  at += (count + 1) * ptr;
  const std::size_t addrs = at;
  at += count * 4;
  const std::size_t nameAt = at;
  at += name.size() + 1;
  if (at > static_cast<std::size_t>(length)) return static_cast<int>(at);
  std::memset(buffer, 0, at);
  HOSTENT entry{};
  entry.h_name = buffer + nameAt;
  entry.h_aliases = reinterpret_cast<char**>(buffer + aliases);
  entry.h_addrtype = static_cast<std::int16_t>(AF_INET_WS);
  entry.h_length = 4;
  entry.h_addr_list = reinterpret_cast<char**>(buffer + list);
  std::memcpy(buffer, &entry, sizeof entry);
  for (std::size_t i = 0; i < count; ++i) {
    char* slot = buffer + addrs + 4 * i;
    std::memcpy(slot, &lookup.addresses[i], 4);
    std::memcpy(buffer + list + i * ptr, &slot, ptr);
  }
  std::memcpy(buffer + nameAt, name.c_str(), name.size() + 1);
  return 0;
}

}  // namespace vtl::platform
