// The DACL that installing hands to the service: what INTERACTIVE users may do with it.
#include "install/install.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Entry {
    BYTE type;
    DWORD mask;
    std::string sid;

    bool operator==(const Entry& other) const {
        return type == other.type && mask == other.mask && sid == other.sid;
    }
    bool operator<(const Entry& other) const {
        return sid < other.sid;
    }
};

void PrintTo(const Entry& entry, std::ostream* out) {
    *out << "{type " << int(entry.type) << ", mask 0x" << std::hex << entry.mask << std::dec << ", "
         << entry.sid << "}";
}

std::vector<Entry> EntriesOf(PACL acl) {
    std::vector<Entry> entries;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(acl, i, &ace)) {
            ADD_FAILURE() << "GetAce " << i;
            break;
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        char* sid = nullptr;
        ConvertSidToStringSidA(&allowed->SidStart, &sid);
        entries.push_back({allowed->Header.AceType, allowed->Mask, sid != nullptr ? sid : "?"});
        LocalFree(sid);
    }
    return entries;
}

// The entries of the DACL built over the DACL of sddl ("" for no DACL at all), ordered by SID:
// where the new entry goes is the platform's choice.
std::vector<Entry> BuiltOver(const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL current = nullptr;
    if (*sddl != '\0') {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr));
        EXPECT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &current, &defaulted));
    }
    PACL updated = nullptr;
    EXPECT_EQ(BuildInteractiveDacl(current, &updated), static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<Entry> entries = EntriesOf(updated);
    std::sort(entries.begin(), entries.end());
    LocalFree(updated);
    LocalFree(descriptor);
    return entries;
}

const Entry kInteractive = {ACCESS_ALLOWED_ACE_TYPE, 0x80000030, "S-1-5-4"};

// Interactive users may read, start and stop the service, never reconfigure it: it runs as
// LocalSystem, and SERVICE_CHANGE_CONFIG would let any of them run code as SYSTEM.
TEST(InteractiveAccess, GrantsReadStartAndStopOnly) {
    EXPECT_EQ(InteractiveServiceAccess, 0x80000030u);
    EXPECT_EQ(InteractiveServiceAccess & SERVICE_CHANGE_CONFIG, 0u);
}

// A descriptor without a DACL, or with a null one, gets a list of the INTERACTIVE entry alone.
TEST(InteractiveAccess, MissingOrEmptyDaclGetsTheEntryAlone) {
    EXPECT_EQ(BuiltOver(""), std::vector<Entry>{kInteractive});
    EXPECT_EQ(BuiltOver("D:"), std::vector<Entry>{kInteractive});
}

// The service's own entries (SYSTEM, administrators, ...) stay as they were.
TEST(InteractiveAccess, ExistingEntriesAreKept) {
    std::vector<Entry> entries = BuiltOver("D:(A;;0xf01ff;;;SY)(A;;0x2008d;;;AU)");
    std::vector<Entry> expected = {
        {ACCESS_ALLOWED_ACE_TYPE, 0x2008d, "S-1-5-11"},
        {ACCESS_ALLOWED_ACE_TYPE, 0xf01ff, "S-1-5-18"},
        kInteractive,
    };
    EXPECT_EQ(entries, expected);
}

}  // namespace
