// The native registry: an in-memory tree of keys rooted at HKEY_LOCAL_MACHINE, with the
// Win32 calls the product makes and the REGEDIT4 reader and writer the tests use.
#include "platform/registry_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "platform/case_fold.h"

namespace {

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<uint8_t> bytes;
};

struct Key {
    std::string name;
    Key* parent = nullptr;
    // Maps keyed by the folded name: lookups ignore case, the record keeps the stored case.
    std::map<std::string, std::unique_ptr<Key>> children;
    std::map<std::string, Value> values;
};

struct Refusal {
    std::string key_path;    // folded
    std::string value_name;  // folded; empty for the whole key
};

struct Store {
    std::unique_ptr<Key> root = std::make_unique<Key>();
    std::map<uintptr_t, Key*> handles;
    uintptr_t next_handle = 0x1000;
    int32_t flushes = 0;
    std::vector<Refusal> refusals;
    std::vector<std::string> unopenable;  // folded paths
    bool leading_backslash_refused = false;
    bool texts_at_their_length = false;
    std::vector<RegistryCall> calls;
    int32_t stray_closes = 0;
};

Store& TheStore() {
    static Store store;
    return store;
}

// Empty components are skipped, so a leading, trailing or doubled backslash only separates.
std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

std::string StripRootName(const std::string& path) {
    static const std::string kRoot = "HKEY_LOCAL_MACHINE";
    if (FoldCase(path.substr(0, kRoot.size())) == kRoot &&
        (path.size() == kRoot.size() || path[kRoot.size()] == '\\')) {
        return path.substr(kRoot.size());
    }
    return path;
}

std::string KeyPath(const Key* key) {
    std::string path;
    for (; key != nullptr && key->parent != nullptr; key = key->parent) {
        path = path.empty() ? key->name : key->name + "\\" + path;
    }
    return path;
}

Key* FindChild(Key* key, const std::string& name) {
    auto found = key->children.find(FoldCase(name));
    return found == key->children.end() ? nullptr : found->second.get();
}

Key* Walk(Key* from, const std::string& path) {
    Key* key = from;
    for (const std::string& part : SplitPath(path)) {
        key = FindChild(key, part);
        if (key == nullptr) return nullptr;
    }
    return key;
}

Key* CreatePath(Key* from, const std::string& path) {
    Key* key = from;
    for (const std::string& part : SplitPath(path)) {
        Key* child = FindChild(key, part);
        if (child == nullptr) {
            auto made = std::make_unique<Key>();
            made->name = part;
            made->parent = key;
            child = made.get();
            key->children[FoldCase(part)] = std::move(made);
        }
        key = child;
    }
    return key;
}

Key* FindByTestPath(const std::string& path) {
    return Walk(TheStore().root.get(), StripRootName(path));
}

std::string FoldedJoin(const std::string& base, const std::string& path) {
    std::string joined = base;
    for (const std::string& part : SplitPath(path)) {
        joined = joined.empty() ? FoldCase(part) : joined + "\\" + FoldCase(part);
    }
    return joined;
}

bool KeyRefused(const std::string& folded_path) {
    for (const Refusal& refusal : TheStore().refusals) {
        if (refusal.value_name.empty() && refusal.key_path == folded_path) return true;
    }
    return false;
}

bool ValueRefused(const Key* key, const std::string& value_name) {
    const std::string path = FoldedJoin("", KeyPath(key));
    const std::string name = FoldCase(value_name);
    for (const Refusal& refusal : TheStore().refusals) {
        if (refusal.key_path == path && (refusal.value_name.empty() || refusal.value_name == name)) {
            return true;
        }
    }
    return false;
}

bool OpenRefused(const Key* key) {
    const std::string path = FoldedJoin("", KeyPath(key));
    for (const std::string& refused : TheStore().unopenable) {
        if (refused == path) return true;
    }
    return false;
}

bool BadPathName(LPCSTR sub_key) {
    return TheStore().leading_backslash_refused && sub_key != nullptr && sub_key[0] == '\\';
}

bool IsRootHandle(HKEY key) { return key == HKEY_LOCAL_MACHINE; }

Key* Resolve(HKEY key) {
    if (IsRootHandle(key)) return TheStore().root.get();
    auto found = TheStore().handles.find(reinterpret_cast<uintptr_t>(key));
    return found == TheStore().handles.end() ? nullptr : found->second;
}

HKEY NewHandle(Key* key) {
    Store& store = TheStore();
    const uintptr_t id = store.next_handle;
    store.next_handle += 4;
    store.handles[id] = key;
    return reinterpret_cast<HKEY>(id);
}

void DropHandles() { TheStore().handles.clear(); }

std::string HandlePath(HKEY key) {
    const Key* resolved = Resolve(key);
    return resolved == nullptr ? "?" : KeyPath(resolved);
}

std::string JoinedPath(HKEY parent, LPCSTR sub_key) {
    std::string path = HandlePath(parent);
    for (const std::string& part : SplitPath(sub_key == nullptr ? "" : sub_key)) {
        path = path.empty() ? part : path + "\\" + part;
    }
    return path;
}

LONG Trace(RegistryCall::Kind kind, std::string key, LONG result, const char* value_name = nullptr,
           DWORD type = REG_NONE, DWORD length = 0) {
    RegistryCall call;
    call.kind = kind;
    call.key = std::move(key);
    call.value_name = value_name == nullptr ? "" : value_name;
    call.type = type;
    call.length = length;
    call.result = result;
    TheStore().calls.push_back(std::move(call));
    return result;
}

// ---- REGEDIT4 text ----

bool ParseQuoted(const std::string& line, size_t* pos, std::string* out) {
    if (*pos >= line.size() || line[*pos] != '"') return false;
    ++*pos;
    out->clear();
    while (*pos < line.size()) {
        char c = line[(*pos)++];
        if (c == '"') return true;
        if (c == '\\' && *pos < line.size()) c = line[(*pos)++];
        *out += c;
    }
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
    bytes->clear();
    std::string token;
    auto flush = [&]() {
        if (token.empty()) return true;
        if (token.size() > 2) return false;
        int value = 0;
        for (char c : token) {
            const int digit = HexDigit(c);
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        bytes->push_back(static_cast<uint8_t>(value));
        token.clear();
        return true;
    };
    for (char c : text) {
        if (c == ',') {
            if (token.empty() || !flush()) return false;
        } else if (c != ' ' && c != '\t') {
            token += c;
        }
    }
    return flush();
}

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

// Lines of the text with CRs dropped and backslash-continued lines joined.
std::vector<std::pair<int, std::string>> LogicalLines(const std::string& text) {
    std::vector<std::pair<int, std::string>> lines;
    std::istringstream stream(text);
    std::string raw;
    std::string pending;
    int number = 0;
    int first = 0;
    while (std::getline(stream, raw)) {
        ++number;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        std::string line = pending.empty() ? Trim(raw) : pending + Trim(raw);
        if (pending.empty()) first = number;
        if (!line.empty() && line.back() == '\\' && line[0] != '[') {
            line.pop_back();
            pending = line;
            continue;
        }
        pending.clear();
        lines.emplace_back(first, line);
    }
    if (!pending.empty()) lines.emplace_back(first, pending);
    return lines;
}

bool ParseValueData(const std::string& data, Value* value, bool* remove) {
    *remove = false;
    if (data == "-") {
        *remove = true;
        return true;
    }
    if (!data.empty() && data[0] == '"') {
        size_t pos = 0;
        std::string text;
        if (!ParseQuoted(data, &pos, &text) || !Trim(data.substr(pos)).empty()) return false;
        value->type = REG_SZ;
        value->bytes.assign(text.begin(), text.end());
        value->bytes.push_back(0);
        return true;
    }
    if (data.rfind("dword:", 0) == 0) {
        const std::string digits = data.substr(6);
        if (digits.empty() || digits.size() > 8) return false;
        uint32_t number = 0;
        for (char c : digits) {
            const int digit = HexDigit(c);
            if (digit < 0) return false;
            number = number * 16 + static_cast<uint32_t>(digit);
        }
        value->type = REG_DWORD;
        value->bytes = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                        static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
        return true;
    }
    if (data.rfind("hex:", 0) == 0) {
        value->type = REG_BINARY;
        return ParseHexBytes(data.substr(4), &value->bytes);
    }
    if (data.rfind("hex(", 0) == 0) {
        const size_t close = data.find("):");
        if (close == std::string::npos || close == 4) return false;
        uint32_t type = 0;
        for (size_t i = 4; i < close; ++i) {
            const int digit = HexDigit(data[i]);
            if (digit < 0 || type > 0x0fffffff) return false;
            type = type * 16 + static_cast<uint32_t>(digit);
        }
        value->type = type;
        return ParseHexBytes(data.substr(close + 2), &value->bytes);
    }
    return false;
}

std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

bool IsPlainText(const Value& value) {
    if (value.type != REG_SZ || value.bytes.empty() || value.bytes.back() != 0) return false;
    for (size_t i = 0; i + 1 < value.bytes.size(); ++i) {
        if (value.bytes[i] < 0x20 || value.bytes[i] == 0x7f) return false;
    }
    return true;
}

std::string FormatValue(const Value& value) {
    std::string line = value.name.empty() ? "@=" : Quote(value.name) + "=";
    if (IsPlainText(value)) {
        return line + Quote(std::string(value.bytes.begin(), value.bytes.end() - 1)) + "\n";
    }
    char head[32];
    if (value.type == REG_DWORD && value.bytes.size() == 4) {
        const uint32_t number = value.bytes[0] | (value.bytes[1] << 8) | (value.bytes[2] << 16) |
                                (static_cast<uint32_t>(value.bytes[3]) << 24);
        std::snprintf(head, sizeof head, "dword:%08x\n", number);
        return line + head;
    }
    if (value.type == REG_BINARY) {
        std::snprintf(head, sizeof head, "hex:");
    } else {
        std::snprintf(head, sizeof head, "hex(%x):", static_cast<unsigned>(value.type));
    }
    line += head;
    std::string out;
    for (size_t i = 0; i < value.bytes.size(); ++i) {
        char token[4];
        std::snprintf(token, sizeof token, "%02x", value.bytes[i]);
        std::string piece = token;
        if (i + 1 < value.bytes.size()) piece += ',';
        if (line.size() + piece.size() > 77 && line != "  ") {
            out += line + "\\\n";
            line = "  ";
        }
        line += piece;
    }
    return out + line + "\n";
}

void ExportKey(const Key* key, bool with_line, std::string* out) {
    if (with_line) {
        *out += "[HKEY_LOCAL_MACHINE";
        const std::string path = KeyPath(key);
        if (!path.empty()) *out += "\\" + path;
        *out += "]\n";
        for (const auto& [folded, value] : key->values) *out += FormatValue(value);
        *out += "\n";
    }
    for (const auto& [folded, child] : key->children) ExportKey(child.get(), true, out);
}

}  // namespace

// ---- Test-facing API ----

void ResetRegistryStore() {
    Store& store = TheStore();
    DropHandles();
    store.root = std::make_unique<Key>();
    store.flushes = 0;
    store.refusals.clear();
    store.unopenable.clear();
    store.leading_backslash_refused = false;
    store.texts_at_their_length = false;
    store.calls.clear();
}

bool LoadRegistryText(const std::string& text, std::string* error) {
    ResetRegistryStore();
    auto fail = [&](int line_number, const std::string& why) {
        if (error != nullptr) *error = "line " + std::to_string(line_number) + ": " + why;
        return false;
    };
    bool header_seen = false;
    Key* current = nullptr;
    for (const auto& [number, line] : LogicalLines(text)) {
        if (line.empty() || line[0] == ';') continue;
        if (!header_seen) {
            if (line != "REGEDIT4") return fail(number, "expected the REGEDIT4 header");
            header_seen = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') return fail(number, "unterminated key line");
            std::string path = line.substr(1, line.size() - 2);
            const bool remove = !path.empty() && path[0] == '-';
            if (remove) path.erase(0, 1);
            const std::string relative = StripRootName(path);
            if (relative.size() == path.size()) return fail(number, "only HKEY_LOCAL_MACHINE is held");
            if (remove) {
                Key* doomed = Walk(TheStore().root.get(), relative);
                if (doomed != nullptr && doomed->parent != nullptr) {
                    doomed->parent->children.erase(FoldCase(doomed->name));
                }
                current = nullptr;
            } else {
                current = CreatePath(TheStore().root.get(), relative);
            }
            continue;
        }
        if (current == nullptr) return fail(number, "value outside a key");
        Value value;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!ParseQuoted(line, &pos, &value.name)) {
            return fail(number, "bad value name");
        }
        if (pos >= line.size() || line[pos] != '=') return fail(number, "expected '='");
        bool remove = false;
        if (!ParseValueData(Trim(line.substr(pos + 1)), &value, &remove)) {
            return fail(number, "bad value data");
        }
        if (remove) {
            current->values.erase(FoldCase(value.name));
        } else {
            current->values[FoldCase(value.name)] = value;
        }
    }
    if (!header_seen) return fail(0, "expected the REGEDIT4 header");
    return true;
}

bool LoadRegistryFile(const std::string& path, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        ResetRegistryStore();
        if (error != nullptr) *error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return LoadRegistryText(text.str(), error);
}

std::string ExportRegistryText(const std::string& sub_tree) {
    std::string out = "REGEDIT4\n\n";
    const Key* key = FindByTestPath(sub_tree);
    if (key == nullptr) return out;
    const bool is_root = key->parent == nullptr;
    ExportKey(key, !is_root || !key->values.empty(), &out);
    return out;
}

StoredValue ReadRegistryValue(const std::string& key_path, const std::string& value_name) {
    StoredValue stored;
    const Key* key = FindByTestPath(key_path);
    if (key == nullptr) return stored;
    auto found = key->values.find(FoldCase(value_name));
    if (found == key->values.end()) return stored;
    stored.found = true;
    stored.type = found->second.type;
    stored.bytes = found->second.bytes;
    return stored;
}

bool RegistryKeyExists(const std::string& key_path) { return FindByTestPath(key_path) != nullptr; }

std::vector<std::string> RegistrySubkeyNames(const std::string& key_path) {
    std::vector<std::string> names;
    if (const Key* key = FindByTestPath(key_path)) {
        for (const auto& [folded, child] : key->children) names.push_back(child->name);
    }
    return names;
}

std::vector<std::string> RegistryValueNames(const std::string& key_path) {
    std::vector<std::string> names;
    if (const Key* key = FindByTestPath(key_path)) {
        for (const auto& [folded, value] : key->values) names.push_back(value.name);
    }
    return names;
}

const std::vector<RegistryCall>& RegistryCalls() { return TheStore().calls; }

void ClearRegistryCalls() { TheStore().calls.clear(); }

std::string DescribeRegistryCall(const RegistryCall& call) {
    static const char* const kVerbs[] = {"open", "create", "enum", "query", "set", "close", "flush"};
    std::string line = std::string(kVerbs[call.kind]) + " " + (call.key.empty() ? "HKLM" : call.key);
    if (call.kind == RegistryCall::kQuery || call.kind == RegistryCall::kSet) {
        line += " " + call.value_name + " " + std::to_string(call.length);
    }
    if (call.result != ERROR_SUCCESS) line += " -> " + std::to_string(call.result);
    return line;
}

int32_t StrayRegistryCloseCount() { return TheStore().stray_closes; }

void ForgetStrayRegistryCloses() { TheStore().stray_closes = 0; }

int32_t OpenRegistryKeyCount() { return static_cast<int32_t>(TheStore().handles.size()); }

int32_t RegistryFlushCount() { return TheStore().flushes; }

void RefuseRegistryWrites(const std::string& key_path, const std::string& value_name) {
    TheStore().refusals.push_back({FoldedJoin("", StripRootName(key_path)), FoldCase(value_name)});
}

void SetRegistryLeadingBackslashRefused(bool refuse) {
    TheStore().leading_backslash_refused = refuse;
}

void SetRegistryTextsKeptAtTheirLength(bool at_their_length) {
    TheStore().texts_at_their_length = at_their_length;
}

void RefuseRegistryOpens(const std::string& key_path) {
    TheStore().unopenable.push_back(FoldedJoin("", StripRootName(key_path)));
}

// ---- The Win32 calls ----

namespace {

LONG RegOpenKeyAUntraced(HKEY key, LPCSTR sub_key, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    Key* base = Resolve(key);
    if (base == nullptr) return ERROR_INVALID_HANDLE;
    if (BadPathName(sub_key)) return ERROR_BAD_PATHNAME;
    Key* target = Walk(base, sub_key == nullptr ? "" : sub_key);
    if (target == nullptr) return ERROR_FILE_NOT_FOUND;
    if (OpenRefused(target)) return ERROR_ACCESS_DENIED;
    *result = (target == TheStore().root.get()) ? HKEY_LOCAL_MACHINE : NewHandle(target);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyAUntraced(HKEY key, LPCSTR sub_key, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    Key* base = Resolve(key);
    if (base == nullptr) return ERROR_INVALID_HANDLE;
    if (BadPathName(sub_key)) return ERROR_BAD_PATHNAME;
    const std::string path = sub_key == nullptr ? "" : sub_key;
    if (KeyRefused(FoldedJoin(FoldedJoin("", KeyPath(base)), path))) return ERROR_ACCESS_DENIED;
    Key* target = CreatePath(base, path);
    if (OpenRefused(target)) return ERROR_ACCESS_DENIED;
    *result = (target == TheStore().root.get()) ? HKEY_LOCAL_MACHINE : NewHandle(target);
    return ERROR_SUCCESS;
}

LONG RegEnumKeyAUntraced(HKEY key, DWORD index, LPSTR name, DWORD name_size) {
    Key* base = Resolve(key);
    if (base == nullptr) return ERROR_INVALID_HANDLE;
    if (index >= base->children.size()) return ERROR_NO_MORE_ITEMS;
    auto child = base->children.begin();
    std::advance(child, index);
    const std::string& child_name = child->second->name;
    if (name == nullptr || name_size < child_name.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(name, child_name.c_str(), child_name.size() + 1);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExAUntraced(HKEY key, LPCSTR value_name, LPDWORD /*reserved*/, LPDWORD type,
                             LPBYTE data, LPDWORD data_size) {
    Key* base = Resolve(key);
    if (base == nullptr) return ERROR_INVALID_HANDLE;
    if (data != nullptr && data_size == nullptr) return ERROR_INVALID_PARAMETER;
    auto found = base->values.find(FoldCase(value_name == nullptr ? "" : value_name));
    if (found == base->values.end()) return ERROR_FILE_NOT_FOUND;
    const Value& value = found->second;
    const DWORD length = static_cast<DWORD>(value.bytes.size());
    if (type != nullptr) *type = value.type;
    if (data == nullptr) {
        if (data_size != nullptr) *data_size = length;
        return ERROR_SUCCESS;
    }
    if (*data_size < length) {
        *data_size = length;
        return ERROR_MORE_DATA;
    }
    if (length > 0) std::memcpy(data, value.bytes.data(), length);
    *data_size = length;
    return ERROR_SUCCESS;
}

LONG RegSetValueExAUntraced(HKEY key, LPCSTR value_name, DWORD /*reserved*/, DWORD type,
                           const BYTE* data, DWORD data_size) {
    Key* base = Resolve(key);
    if (base == nullptr) return ERROR_INVALID_HANDLE;
    if (data == nullptr && data_size > 0) return ERROR_INVALID_PARAMETER;
    const std::string name = value_name == nullptr ? "" : value_name;
    if (ValueRefused(base, name)) return ERROR_ACCESS_DENIED;
    Value& value = base->values[FoldCase(name)];
    if (value.name.empty()) value.name = name;  // a rewrite keeps the name's first spelling
    value.type = type;
    value.bytes.assign(data, data + data_size);
    if (type == REG_SZ && TheStore().texts_at_their_length) {
        // The text up to its first NUL, or all that was passed when it has none, and one NUL.
        const auto nul = std::find(value.bytes.begin(), value.bytes.end(), uint8_t{0});
        value.bytes.erase(nul, value.bytes.end());
        value.bytes.push_back(0);
    }
    return ERROR_SUCCESS;
}

LONG RegFlushKeyUntraced(HKEY key) {
    if (Resolve(key) == nullptr) return ERROR_INVALID_HANDLE;
    ++TheStore().flushes;
    return ERROR_SUCCESS;
}

LONG RegCloseKeyUntraced(HKEY key) {
    if (IsRootHandle(key)) return ERROR_SUCCESS;
    if (TheStore().handles.erase(reinterpret_cast<uintptr_t>(key)) == 0) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

}  // namespace

LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR sub_key, PHKEY result) {
    std::string path = JoinedPath(key, sub_key);
    return Trace(RegistryCall::kOpen, std::move(path), RegOpenKeyAUntraced(key, sub_key, result));
}

LONG WINAPI RegCreateKeyA(HKEY key, LPCSTR sub_key, PHKEY result) {
    std::string path = JoinedPath(key, sub_key);
    return Trace(RegistryCall::kCreate, std::move(path), RegCreateKeyAUntraced(key, sub_key, result));
}

LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD name_size) {
    return Trace(RegistryCall::kEnum, HandlePath(key), RegEnumKeyAUntraced(key, index, name, name_size));
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD data_size) {
    const DWORD offered = data_size == nullptr ? 0 : *data_size;
    return Trace(RegistryCall::kQuery, HandlePath(key),
                 RegQueryValueExAUntraced(key, value_name, reserved, type, data, data_size),
                 value_name, REG_NONE, offered);
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR value_name, DWORD reserved, DWORD type,
                           const BYTE* data, DWORD data_size) {
    return Trace(RegistryCall::kSet, HandlePath(key),
                 RegSetValueExAUntraced(key, value_name, reserved, type, data, data_size),
                 value_name, type, data_size);
}

LONG WINAPI RegFlushKey(HKEY key) {
    return Trace(RegistryCall::kFlush, HandlePath(key), RegFlushKeyUntraced(key));
}

LONG WINAPI RegCloseKey(HKEY key) {
    std::string path = HandlePath(key);
    const LONG result = RegCloseKeyUntraced(key);
    if (result == ERROR_INVALID_HANDLE) ++TheStore().stray_closes;
    return Trace(RegistryCall::kClose, std::move(path), result);
}
