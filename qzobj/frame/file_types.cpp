// Shell registration of file types in the classes root: the extension key names the type, the
// type key holds the description, the icon and the open command. A registration is made whole
// or not at all: when a step fails, the keys this call created are removed again.
#include <string>
#include <vector>

#include "qzobj/frame.h"
#include "qzobj/platform/classes_root.h"

namespace {

namespace platform = qzo::platform;

// Keys created by one registration, removed (newest first) unless the registration completes.
class CreatedKeys {
  public:
    CreatedKeys() = default;
    CreatedKeys(const CreatedKeys&) = delete;
    CreatedKeys& operator=(const CreatedKeys&) = delete;
    ~CreatedKeys() {
        for (auto key = keys_.rbegin(); key != keys_.rend(); ++key) {
            platform::ClassesRootDeleteKey(key->c_str());
        }
    }

    // Creates the key and remembers it when it is new; `created` tells whether it was.
    bool Create(const std::u16string& key, bool* created = nullptr) {
        bool isNew = false;
        if (!platform::ClassesRootCreateKey(key.c_str(), &isNew)) return false;
        if (isNew) keys_.push_back(key);
        if (created) *created = isNew;
        return true;
    }
    void Keep() { keys_.clear(); }

  private:
    std::vector<std::u16string> keys_;
};

bool SetValue(const std::u16string& key, const WCHAR* value) {
    return platform::ClassesRootSetDefaultValue(key.c_str(), value);
}

// Creates a key under the type key and sets its default value; nothing to do without a value.
bool SetSubkeyValue(CreatedKeys& keys, const std::u16string& typeKey, const char16_t* subkey,
                    const WCHAR* value) {
    if (!value) return true;
    const std::u16string key = typeKey + u"\\" + subkey;
    return keys.Create(key) && SetValue(key, value);
}

}  // namespace

BOOL RegisterFileType(const WCHAR* extension, const WCHAR* typeName, const WCHAR* description,
                      const WCHAR* icon, const WCHAR* command) {
    if (!extension || !*extension || !typeName || !*typeName) return FALSE;
    // An extension that has a key is registered already, whoever registered it.
    if (platform::ClassesRootKeyExists(extension)) return TRUE;

    const std::u16string extensionKey(extension);
    const std::u16string typeKey(typeName);
    CreatedKeys keys;
    bool extensionCreated = false;
    if (!keys.Create(extensionKey, &extensionCreated)) return FALSE;
    if (!extensionCreated) return TRUE;  // registered meanwhile by another process
    if (!SetValue(extensionKey, typeName) || !keys.Create(typeKey)) return FALSE;
    if (description && !SetValue(typeKey, description)) return FALSE;
    if (!SetSubkeyValue(keys, typeKey, u"DefaultIcon", icon)) return FALSE;
    if (!SetSubkeyValue(keys, typeKey, u"shell\\open\\command", command)) return FALSE;
    keys.Keep();
    return TRUE;
}
