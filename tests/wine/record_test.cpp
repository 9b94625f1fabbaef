// The update record in the registry, cleared by the real code: each value's
// type and size, other values left alone, a missing key never created.
#include "tests/wine/support.h"

#include "flash/flash.h"

namespace {

const char SZ_KEY[] = "Software\\Tessaride";

// Type and data of one value; type REG_NONE when the value is missing.
struct Value {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

Value ReadValue(HKEY hKey, const char* szName)
{
    Value v;
    DWORD cb = 0;
    if (RegQueryValueExA(hKey, szName, nullptr, &v.type, nullptr, &cb) != ERROR_SUCCESS) return Value();
    v.data.resize(cb);
    RegQueryValueExA(hKey, szName, nullptr, &v.type, v.data.data(), &cb);
    v.data.resize(cb);
    return v;
}

void SetText(HKEY hKey, const char* szName, const char* szText)
{
    RegSetValueExA(hKey, szName, 0, REG_SZ, reinterpret_cast<const BYTE*>(szText),
                   static_cast<DWORD>(strlen(szText) + 1));
}

void SetDword(HKEY hKey, const char* szName, DWORD dw)
{
    RegSetValueExA(hKey, szName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), sizeof(dw));
}

// Each test starts without the key and leaves none behind.
class UpdateRecord : public testing::Test {
protected:
    void SetUp() override { RegDeleteKeyA(HKEY_CURRENT_USER, SZ_KEY); }
    void TearDown() override { RegDeleteKeyA(HKEY_CURRENT_USER, SZ_KEY); }
};

TEST_F(UpdateRecord, ClearsEveryValueWithItsTypeAndSize)
{
    HKEY hKey;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, SZ_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &hKey, nullptr),
              ERROR_SUCCESS);
    SetDword(hKey, "Flash", 1);
    SetDword(hKey, "USB", 1);
    SetText(hKey, "Language", "ENU");
    SetText(hKey, "ModelID", "QX-3600");
    SetText(hKey, "Lang", "0409");
    SetText(hKey, "Version", "4.21.1088");
    SetText(hKey, "FlashFile", "C:\\Images\\nk.nb0");
    SetText(hKey, "Owner", "someone");
    RegCloseKey(hKey);

    ResetUpdateRecord();

    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SZ_KEY, 0, KEY_READ, &hKey), ERROR_SUCCESS);
    struct Expected {
        const char* name;
        DWORD type;
        size_t size;
    };
    for (Expected e : {Expected{"Flash", REG_DWORD, 4}, Expected{"Language", REG_SZ, 20},
                       Expected{"ModelID", REG_SZ, 15}, Expected{"Lang", REG_SZ, 10},
                       Expected{"Version", REG_SZ, 20}, Expected{"USB", REG_DWORD, 4},
                       Expected{"FlashFile", REG_SZ, 0}}) {
        SCOPED_TRACE(e.name);
        Value v = ReadValue(hKey, e.name);
        EXPECT_EQ(v.type, e.type);
        EXPECT_EQ(v.data.size(), e.size);
        EXPECT_EQ(std::count(v.data.begin(), v.data.end(), 0), static_cast<long>(v.data.size()))
            << "all bytes zero";
    }
    Value other = ReadValue(hKey, "Owner");
    EXPECT_EQ(std::string(other.data.begin(), other.data.end()), std::string("someone", 8));
    RegCloseKey(hKey);
}

TEST_F(UpdateRecord, MissingKeyStaysMissing)
{
    ResetUpdateRecord();
    HKEY hKey;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SZ_KEY, 0, KEY_READ, &hKey), ERROR_FILE_NOT_FOUND);
}

} // namespace
