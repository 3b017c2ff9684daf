// The host's settings in "QZO.VST": string, integer and boolean values with defaults that can
// be written back when missing. An unavailable store gives defaults and failed writes.
#include "qzobj/frame.h"
#include "qzobj/frame/settings_store.h"
#include "qzobj/platform/text.h"

using qzo::frame::AcquireSettingsStore;

int QZOBJ_GetCurrentSettingStr(const char* section, const char* key, const WCHAR* def,
                               WCHAR* buffer, int size, BOOL writeIfMissing) {
    if (!buffer || size <= 0) return 0;
    const auto capacity = static_cast<UINT>(size);
    const auto store = AcquireSettingsStore();
    if (store && store->ReadSettingString(section, key, buffer, capacity)) {
        return static_cast<int>(qzo::text::BoundedLength(buffer, capacity));
    }
    const WCHAR* fallback = def ? def : u"";
    if (store && writeIfMissing) store->WriteSettingString(section, key, fallback);
    return static_cast<int>(qzo::text::Copy(buffer, capacity, fallback));
}

int32_t QZOBJ_GetCurrentSettingInt(const char* section, const char* key, int32_t def,
                                   BOOL writeIfMissing) {
    const auto store = AcquireSettingsStore();
    int32_t value = def;
    if (!store || store->ReadSettingInt(section, key, &value)) return value;
    if (writeIfMissing) store->WriteSettingInt(section, key, def);
    return def;
}

BOOL QZOBJ_GetCurrentSettingBool(const char* section, const char* key, BOOL def,
                                 BOOL writeIfMissing) {
    const auto store = AcquireSettingsStore();
    BOOL value = def;
    if (!store || store->ReadSettingBool(section, key, &value)) return value;
    if (writeIfMissing) store->WriteSettingBool(section, key, def);
    return def;
}

BOOL QZOBJ_WriteCurrentSettingStr(const char* section, const char* key, const WCHAR* text) {
    if (!text || !*text) return FALSE;
    const auto store = AcquireSettingsStore();
    return store ? store->WriteSettingString(section, key, text) : FALSE;
}

BOOL QZOBJ_WriteCurrentSettingInt(const char* section, const char* key, int32_t value) {
    const auto store = AcquireSettingsStore();
    return store ? store->WriteSettingInt(section, key, value) : FALSE;
}

BOOL QZOBJ_WriteCurrentSettingBool(const char* section, const char* key, BOOL value) {
    const auto store = AcquireSettingsStore();
    return store ? store->WriteSettingBool(section, key, value) : FALSE;
}
