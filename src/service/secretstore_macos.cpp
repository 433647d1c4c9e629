// The system keychain on macOS: generic-password items of the Security framework.
// Built only on Apple platforms (see CMakeLists.txt); it has not been compiled or run on the
// Linux machines that build and test this project.

#include "secretstore.h"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <memory>
#include <type_traits>

namespace quorvale {

namespace {

struct Releaser
{
    void operator()(CFTypeRef object) const
    {
        if (object)
            CFRelease(object);
    }
};
template <typename Ref>
using Owned = std::unique_ptr<std::remove_pointer_t<Ref>, Releaser>;

Owned<CFStringRef> text(const std::string &utf8)
{
    return Owned<CFStringRef>(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(utf8.data()),
                                static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}

Owned<CFDataRef> bytes(const SecretStore::Bytes &data)
{
    return Owned<CFDataRef>(
        CFDataCreate(kCFAllocatorDefault, data.data(), static_cast<CFIndex>(data.size())));
}

// The query naming one item; null when service or account is not valid UTF-8.
Owned<CFMutableDictionaryRef> itemQuery(const std::string &service, const std::string &account)
{
    const Owned<CFStringRef> serviceText = text(service);
    const Owned<CFStringRef> accountText = text(account);
    if (!serviceText || !accountText)
        return nullptr;
    Owned<CFMutableDictionaryRef> query(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(query.get(), kSecClass, kSecClassGenericPassword);
    CFDictionarySetValue(query.get(), kSecAttrService, serviceText.get());
    CFDictionarySetValue(query.get(), kSecAttrAccount, accountText.get());
    return query;
}

class KeychainStore final : public SecretStore
{
public:
    Lookup find(const std::string &service, const std::string &account) override
    {
        const Owned<CFMutableDictionaryRef> query = itemQuery(service, account);
        if (!query)
            return {Outcome::Unavailable, {}};
        CFDictionarySetValue(query.get(), kSecReturnData, kCFBooleanTrue);
        CFDictionarySetValue(query.get(), kSecMatchLimit, kSecMatchLimitOne);
        CFTypeRef result = nullptr;
        const OSStatus status = SecItemCopyMatching(query.get(), &result);
        const Owned<CFTypeRef> owned(result);
        if (status == errSecItemNotFound)
            return {Outcome::NotFound, {}};
        // Locked, interaction refused, access denied, or an item without data.
        if (status != errSecSuccess || !result || CFGetTypeID(result) != CFDataGetTypeID())
            return {Outcome::Unavailable, {}};
        const auto data = static_cast<CFDataRef>(result);
        const UInt8 *first = CFDataGetBytePtr(data);
        return {Outcome::Found, Bytes(first, first + CFDataGetLength(data))};
    }

    bool store(const std::string &service, const std::string &account, const std::string &label,
               const Bytes &data) override
    {
        const Owned<CFMutableDictionaryRef> query = itemQuery(service, account);
        const Owned<CFStringRef> labelText = text(label);
        const Owned<CFDataRef> value = bytes(data);
        if (!query || !labelText || !value)
            return false;

        Owned<CFMutableDictionaryRef> item(
            CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, query.get()));
        CFDictionarySetValue(item.get(), kSecAttrLabel, labelText.get());
        CFDictionarySetValue(item.get(), kSecValueData, value.get());
        // Readable only while unlocked, never migrated to another device.
        CFDictionarySetValue(item.get(), kSecAttrAccessible,
                             kSecAttrAccessibleWhenUnlockedThisDeviceOnly);
        const OSStatus added = SecItemAdd(item.get(), nullptr);
        if (added != errSecDuplicateItem)
            return added == errSecSuccess;

        Owned<CFMutableDictionaryRef> changes(
            CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                      &kCFTypeDictionaryValueCallBacks));
        CFDictionarySetValue(changes.get(), kSecAttrLabel, labelText.get());
        CFDictionarySetValue(changes.get(), kSecValueData, value.get());
        return SecItemUpdate(query.get(), changes.get()) == errSecSuccess;
    }

    bool remove(const std::string &service, const std::string &account) override
    {
        const Owned<CFMutableDictionaryRef> query = itemQuery(service, account);
        if (!query)
            return false;
        const OSStatus status = SecItemDelete(query.get());
        return status == errSecSuccess || status == errSecItemNotFound;
    }
};

} // namespace

std::unique_ptr<SecretStore> SecretStore::system()
{
    return std::make_unique<KeychainStore>();
}

} // namespace quorvale
