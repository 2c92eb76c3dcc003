// SegmentViews.h - this process's side of the stand-in's memory segments:
// the named file mapping behind each segment it created, and every view of a
// segment it mapped. A segment's bytes are the paging-file mapping
// "NtxStandIn_Segment_<handle as 8 hex digits>", which every process (of
// either bitness) that maps the segment joins.
#pragma once

#include <windows.h>

#include <cstdint>

#include "NtxBinding.h"

class SegmentViews {
public:
    // Who asked for a view: ntxMapRtSharedMemory (unmapped again by
    // ntxUnmapRtSharedMemory) or a test's PLC side.
    enum class Kind { Ntx, Plc };
    // Records kept: mappings held for created segments and views.
    static constexpr int CAPACITY = 128;
    // ntxUnmapRtSharedMemory's results.
    static constexpr uint32_t UNMAPPED = 0;
    static constexpr uint32_t NOT_MAPPED = 1;

    SegmentViews();
    ~SegmentViews();  // ReleaseAll()
    SegmentViews(const SegmentViews&) = delete;
    SegmentViews& operator=(const SegmentViews&) = delete;

    // Creates the bytes of a new segment (size bytes, zero-filled) and holds
    // them while the segment exists. false when they cannot be created.
    bool Hold(NtxHandle segment, uint32_t size);

    // A new view of segment's size bytes (a Plc view: the one this process
    // already has, when it has one). Null when it cannot be mapped.
    uint8_t* Map(NtxHandle segment, uint32_t size, Kind kind);

    // Unmaps this process's latest Ntx view of segment: UNMAPPED, also for a
    // view that the segment's removal took away already; NOT_MAPPED when
    // there is none.
    uint32_t Unmap(NtxHandle segment);

    // The segment is gone: unmaps every view of it in this process and
    // reserves each freed address range inaccessible, so that a read of an
    // old pointer faults and nothing else is placed there; drops the bytes
    // held for it.
    void Revoke(NtxHandle segment);

    // Unmaps and drops everything (the library is unloaded). Address ranges
    // reserved by Revoke stay reserved.
    void ReleaseAll();

private:
    struct Record {
        NtxHandle segment;  // NTX_NO_HANDLE: a free record
        HANDLE mapping;     // null once revoked
        uint8_t* view;      // null for the mapping held for a created segment
        uint32_t size;
        bool holder;        // the mapping held for a created segment
        Kind kind;
    };

    // A free record, or null.
    Record* FreeRecord();
    // Creates or joins the segment's mapping; null on failure.
    static HANDLE OpenBytes(NtxHandle segment, uint32_t size);
    // Unmaps and closes what record holds and frees it.
    static void Drop(Record& record);

    Record records[CAPACITY];
};
