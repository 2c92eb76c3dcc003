// HmiBridgeExports.cpp - the 22 HMI_Smem functions: each makes one call on
// the library's controller and returns its result unchanged.
#include <cstring>

#include "BridgeGlobals.h"
#include "HmiBridge.h"

extern "C" {

int32_t HMI_API HMI_SmemOpen(void)
{
    return g_controller->Open();
}

void HMI_API HMI_SmemClose(void)
{
    g_controller->Close();
}

int32_t HMI_API HMI_SmemIsExist(void)
{
    return g_controller->IsExist();
}

int32_t HMI_API HMI_SmemIsMemSize(void)
{
    return g_controller->IsMemSize();
}

int32_t HMI_API HMI_SmemIsMemType(void)
{
    return g_controller->IsMemType();
}

int32_t HMI_API HMI_SmemIsPCosOffset(void)
{
    return g_controller->IsPCosOffset();
}

// Stores the controller's pointer in the caller's variable; nothing when the
// variable's address is null.
void HMI_API HMI_SmemGetPointer(void** pointer, int32_t offset)
{
    if (pointer != nullptr)
        *pointer = g_controller->GetPointer(offset);
}

int32_t HMI_API HMI_SmemGetStringLength(int32_t address, int32_t* length)
{
    return g_controller->GetStringLength(address, length);
}

int32_t HMI_API HMI_SmemReadByte(int32_t address, uint8_t* value)
{
    return g_controller->ReadByte(address, value);
}

int32_t HMI_API HMI_SmemReadWord(int32_t address, uint16_t* value)
{
    return g_controller->ReadWord(address, value);
}

int32_t HMI_API HMI_SmemReadDWord(int32_t address, uint32_t* value)
{
    return g_controller->ReadDWord(address, value);
}

int32_t HMI_API HMI_SmemReadReal(int32_t address, float* value)
{
    return g_controller->ReadReal(address, value);
}

int32_t HMI_API HMI_SmemReadLReal(int32_t address, double* value)
{
    return g_controller->ReadLReal(address, value);
}

int32_t HMI_API HMI_SmemReadBytes(int32_t address, void* buffer, uint32_t length)
{
    return g_controller->ReadBytes(address, buffer, length);
}

int32_t HMI_API HMI_SmemReadString(int32_t address, char* buffer, uint32_t length)
{
    return g_controller->ReadString(address, buffer, length);
}

int32_t HMI_API HMI_SmemWriteByte(int32_t address, uint8_t value)
{
    return g_controller->WriteByte(address, value);
}

int32_t HMI_API HMI_SmemWriteWord(int32_t address, uint16_t value)
{
    return g_controller->WriteWord(address, value);
}

int32_t HMI_API HMI_SmemWriteDWord(int32_t address, uint32_t value)
{
    return g_controller->WriteDWord(address, value);
}

// A real goes on as the bits it arrived with: passing it on as a
// floating-point value would move it through the x87 unit in a 32-bit build,
// which quiets a signalling NaN.
int32_t HMI_API HMI_SmemWriteReal(int32_t address, float value)
{
    uint32_t bits;
    memcpy(&bits, &value, sizeof(bits));
    return g_controller->WriteReal(address, bits);
}

int32_t HMI_API HMI_SmemWriteLReal(int32_t address, double value)
{
    uint64_t bits;
    memcpy(&bits, &value, sizeof(bits));
    return g_controller->WriteLReal(address, bits);
}

int32_t HMI_API HMI_SmemWriteBytes(int32_t address, const void* buffer, uint32_t length)
{
    return g_controller->WriteBytes(address, buffer, length);
}

int32_t HMI_API HMI_SmemWriteString(int32_t address, const char* chars, uint32_t length)
{
    return g_controller->WriteString(address, chars, length);
}

}  // extern "C"
