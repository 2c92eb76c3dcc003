// FindAdapterMacAddress.cpp - the hardware address of the local adapter that
// carries a given IPv4 address.
#include <winsock2.h>
#include <iphlpapi.h>

#include <cstring>
#include <memory>
#include <new>

#include "Talvern.h"

namespace {

constexpr size_t MAC_LENGTH = 6;

}  // namespace

void MatchAdapterMacAddress(const IP_ADAPTER_INFO* adapters, const char* ip, uint8_t mac[6])
{
    for (const IP_ADAPTER_INFO* adapter = adapters; adapter; adapter = adapter->Next) {
        if (std::strcmp(adapter->IpAddressList.IpAddress.String, ip) == 0) {
            std::memcpy(mac, adapter->Address, MAC_LENGTH);
            return;
        }
    }
}

void FindAdapterMacAddress(const char* ip, uint8_t mac[6])
{
    ULONG size = 0;
    GetAdaptersInfo(nullptr, &size);
    if (size == 0)
        return;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
    if (!buffer)
        return;
    IP_ADAPTER_INFO* adapters = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get());
    if (GetAdaptersInfo(adapters, &size) != NO_ERROR)
        return;
    MatchAdapterMacAddress(adapters, ip, mac);
}
