// SegmentViews.cpp - the stand-in's segment mappings and views in this
// process.
#include "SegmentViews.h"

#include <cstdio>

namespace {

const char SEGMENT_MAPPING_FORMAT[] = "NtxStandIn_Segment_%08X";
// "NtxStandIn_Segment_" and 8 hex digits with the NUL.
constexpr size_t SEGMENT_MAPPING_NAME_SIZE = 32;

}  // namespace

SegmentViews::SegmentViews()
{
    for (Record& record : records)
        record = Record{NTX_NO_HANDLE, nullptr, nullptr, 0, false, Kind::Ntx};
}

SegmentViews::~SegmentViews()
{
    ReleaseAll();
}

bool SegmentViews::Hold(NtxHandle segment, uint32_t size)
{
    Record* record = FreeRecord();
    if (record == nullptr || size == 0)
        return false;
    HANDLE mapping = OpenBytes(segment, size);
    if (mapping == nullptr)
        return false;
    *record = Record{segment, mapping, nullptr, size, true, Kind::Plc};
    return true;
}

uint8_t* SegmentViews::Map(NtxHandle segment, uint32_t size, Kind kind)
{
    if (segment == NTX_NO_HANDLE || size == 0)
        return nullptr;
    if (kind == Kind::Plc) {
        for (const Record& record : records) {
            if (record.segment == segment && !record.holder && record.kind == Kind::Plc &&
                record.mapping != nullptr)
                return record.view;
        }
    }
    Record* record = FreeRecord();
    if (record == nullptr)
        return nullptr;
    HANDLE mapping = OpenBytes(segment, size);
    if (mapping == nullptr)
        return nullptr;
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size);
    if (view == nullptr) {
        CloseHandle(mapping);
        return nullptr;
    }
    *record = Record{segment, mapping, static_cast<uint8_t*>(view), size, false, kind};
    return record->view;
}

uint32_t SegmentViews::Unmap(NtxHandle segment)
{
    // The latest view first, as a stack of maps and unmaps expects.
    for (int i = CAPACITY - 1; i >= 0; --i) {
        Record& record = records[i];
        if (record.segment == segment && !record.holder && record.kind == Kind::Ntx) {
            Drop(record);
            return UNMAPPED;
        }
    }
    return NOT_MAPPED;
}

void SegmentViews::Revoke(NtxHandle segment)
{
    for (Record& record : records) {
        if (record.segment != segment || record.mapping == nullptr)
            continue;
        if (record.holder) {
            Drop(record);
            continue;
        }
        // Nothing runs in between here (the tests are single-threaded), so
        // the range freed is the range reserved.
        UnmapViewOfFile(record.view);
        CloseHandle(record.mapping);
        record.mapping = nullptr;
        VirtualAlloc(record.view, record.size, MEM_RESERVE, PAGE_NOACCESS);
        // An Ntx record stays until ntxUnmapRtSharedMemory drops it.
        if (record.kind == Kind::Plc)
            record.segment = NTX_NO_HANDLE;
    }
}

void SegmentViews::ReleaseAll()
{
    for (Record& record : records) {
        if (record.segment != NTX_NO_HANDLE)
            Drop(record);
    }
}

SegmentViews::Record* SegmentViews::FreeRecord()
{
    for (Record& record : records) {
        if (record.segment == NTX_NO_HANDLE)
            return &record;
    }
    return nullptr;
}

HANDLE SegmentViews::OpenBytes(NtxHandle segment, uint32_t size)
{
    char name[SEGMENT_MAPPING_NAME_SIZE];
    snprintf(name, sizeof(name), SEGMENT_MAPPING_FORMAT, static_cast<unsigned>(segment));
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
}

void SegmentViews::Drop(Record& record)
{
    if (record.mapping != nullptr) {
        if (record.view != nullptr)
            UnmapViewOfFile(record.view);
        CloseHandle(record.mapping);
    }
    record = Record{NTX_NO_HANDLE, nullptr, nullptr, 0, false, Kind::Ntx};
}
