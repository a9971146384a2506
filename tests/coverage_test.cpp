// Full coverage's event records without the kernel: name records read, malformed ones dropped.
#include "src/coverage.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// An event record built byte by byte: metadata, then one directory-handle-and-name record.
struct EventBytes {
    std::vector<unsigned char> bytes;

    static EventBytes make(std::uint32_t handle_bytes, const std::string& name, std::size_t pad = 0) {
        EventBytes e;
        fanotify_event_metadata md = {};
        md.metadata_len = sizeof md;
        md.vers = FANOTIFY_METADATA_VERSION;
        md.mask = FAN_CLOSE_WRITE;
        md.fd = FAN_NOFD;
        fanotify_event_info_header hdr = {};
        hdr.info_type = FAN_EVENT_INFO_TYPE_DFID_NAME;
        std::size_t rec = sizeof hdr + 8 + 8 + handle_bytes + name.size() + pad;
        hdr.len = static_cast<std::uint16_t>(rec);
        md.event_len = static_cast<std::uint32_t>(sizeof md + rec);
        e.put(&md, sizeof md);
        e.put(&hdr, sizeof hdr);
        const unsigned char fsid[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        e.put(fsid, sizeof fsid);
        std::int32_t type = 1;
        e.put(&handle_bytes, 4);
        e.put(&type, 4);
        e.bytes.insert(e.bytes.end(), handle_bytes, 0xab);
        e.put(name.data(), name.size());
        e.bytes.insert(e.bytes.end(), pad, 0);
        return e;
    }
    void put(const void* p, std::size_t n) {
        auto c = static_cast<const unsigned char*>(p);
        bytes.insert(bytes.end(), c, c + n);
    }
    fanotify_event_metadata* md() { return reinterpret_cast<fanotify_event_metadata*>(bytes.data()); }
    fanotify_event_info_header* hdr() {
        return reinterpret_cast<fanotify_event_info_header*>(bytes.data() + 24);
    }
};

TEST(FidRecords, WellFormedAndMalformed) {
    const std::string nul(1, '\0');
    const struct {
        int line;
        EventBytes event;
        void (*spoil)(EventBytes&);
        const char* name; // expected, or null for a dropped event
    } rows[] = {
        {__LINE__, EventBytes::make(8, "file" + nul), nullptr, "file"},
        {__LINE__, EventBytes::make(8, "file" + nul, 3), nullptr, "file"}, // padded to 4 bytes
        {__LINE__, EventBytes::make(128, "a b\tc" + nul), nullptr, "a b\tc"},
        {__LINE__, EventBytes::make(129, "file" + nul), nullptr, nullptr}, // handle over the kernel's maximum
        {__LINE__, EventBytes::make(8, "file"), nullptr, nullptr},         // no terminator
        {__LINE__, EventBytes::make(8, nul), nullptr, nullptr},            // empty name
        {__LINE__, EventBytes::make(8, "." + nul), nullptr, nullptr},
        {__LINE__, EventBytes::make(8, ".." + nul), nullptr, nullptr},
        {__LINE__, EventBytes::make(8, "a/b" + nul), nullptr, nullptr},
        // The record claims more than the event holds.
        {__LINE__, EventBytes::make(8, "file" + nul), [](EventBytes& e) { e.hdr()->len += 4; }, nullptr},
        // The handle claims more than the record holds.
        {__LINE__, EventBytes::make(8, "file" + nul),
         [](EventBytes& e) {
             std::uint32_t big = 12;
             memcpy(e.bytes.data() + 24 + 4 + 8, &big, 4);
         },
         nullptr},
        // A record shorter than its own header.
        {__LINE__, EventBytes::make(8, "file" + nul), [](EventBytes& e) { e.hdr()->len = 2; }, nullptr},
        // Metadata longer than the event.
        {__LINE__, EventBytes::make(8, "file" + nul),
         [](EventBytes& e) { e.md()->metadata_len = static_cast<std::uint16_t>(e.md()->event_len + 1); },
         nullptr},
        // Another record type only.
        {__LINE__, EventBytes::make(8, "file" + nul),
         [](EventBytes& e) { e.hdr()->info_type = FAN_EVENT_INFO_TYPE_FID; }, nullptr},
        // Trailing bytes too short for a header.
        {__LINE__, EventBytes::make(8, "file" + nul),
         [](EventBytes& e) {
             e.bytes.insert(e.bytes.end(), 2, 0);
             e.md()->event_len += 2;
         },
         nullptr},
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.line);
        if (row.spoil != nullptr)
            row.spoil(row.event);
        fid_name rec = {};
        fanotify_event_metadata md;
        memcpy(&md, row.event.bytes.data(), sizeof md);
        bool ok = fid_parse(row.event.bytes.data(), md, &rec);
        ASSERT_EQ(ok, row.name != nullptr);
        if (ok) {
            EXPECT_STREQ(rec.name, row.name);
            EXPECT_EQ(rec.fsid[0], 1);
            std::uint32_t handle_bytes;
            memcpy(&handle_bytes, rec.handle, 4);
            EXPECT_EQ(rec.handle_size, 8 + handle_bytes);
        }
    }
}

} // namespace
