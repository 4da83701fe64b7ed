// What the registry calls share: the process's store, its caller identity, and key handles.
//
// An HKEY is either one of the predefined keys or an entry of the process handle table naming a
// root, a path below it and the rights it was opened with. Handles hold no store state, so they
// stay valid across a fork; the store itself is reopened by a process that did not open it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "../handles.h"
#include "registry/store.h"

namespace hl::win32::reg {

// A key below HKEY_CLASSES_ROOT that was opened in the user's tree keeps to that key: once it
// is gone the handle answers ERROR_KEY_DELETED, even where the machine's tree has the key.
// Opened in the machine's tree, it follows the merged view, which prefers a user's key that
// appears later.
struct OpenKey : HandleObject {
    OpenKey(registry::KeyPath keyPath, REGSAM granted, bool inUserClasses)
        : key(std::move(keyPath)), rights(granted), userClasses(inUserClasses) {}
    registry::KeyPath key;
    REGSAM rights;
    bool userClasses;
};

// A key a call works on: its place in the store and the rights the caller holds on it.
struct KeyRef {
    registry::KeyPath key;
    REGSAM rights = 0;
    bool predefined = false;
    bool userClasses = false;
};

// The store of this process's system root; null when there is none.
registry::Store* Store();
// This process's identity, as the store sees it.
registry::Caller Caller();

LONG ToError(registry::Result result);

// Resolves a handle; ERROR_INVALID_HANDLE for anything that is not an open or predefined key.
LONG Lookup(HKEY handle, KeyRef& ref);
// The key `subKey` names below `parent` (ANSI, '\' separated, one trailing '\' allowed).
LONG Below(const KeyRef& parent, const char* subKey, registry::KeyPath& key);
// Whether this process may change the key: decides the rights a handle gets.
bool MayWrite(const registry::KeyPath& key);
// The rights granted for `desired` on `key`; ERROR_ACCESS_DENIED when refused.
LONG Grant(const registry::KeyPath& key, REGSAM desired, REGSAM& granted);
// A new handle for an existing key.
HKEY Insert(registry::KeyPath key, REGSAM rights);

// ERROR_KEY_DELETED when the handle's key below HKEY_CLASSES_ROOT was opened in the user's
// tree and is gone from it; ERROR_SUCCESS otherwise.
LONG Alive(const KeyRef& ref);

// The error for a store call on an open key that answered NotFound for the key itself.
LONG KeyGone(const KeyRef& ref);

std::string NameToStore(std::string_view ansi);
std::string NameFromStore(std::string_view utf8);

}  // namespace hl::win32::reg
