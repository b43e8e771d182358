#include "tools/pack/signing/read_token_public_key.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>

namespace korvanthelm::pack {
namespace {

// The few PKCS#11 (Cryptoki 2.40) types and numbers needed here, as the
// standard defines them for Unix: every integer an unsigned long, structures
// unpacked.
using CkUlong = unsigned long;
using CkRv = CkUlong;
constexpr CkRv kCkrOk = 0;
constexpr CkRv kCkrAlreadyInitialized = 0x191;
constexpr CkUlong kCkfSerialSession = 0x4;
constexpr CkUlong kCkaClass = 0x0;
constexpr CkUlong kCkaLabel = 0x3;
constexpr CkUlong kCkaId = 0x102;
constexpr CkUlong kCkaModulus = 0x120;
constexpr CkUlong kCkaPublicExponent = 0x122;
constexpr CkUlong kCkaEcPoint = 0x181;
constexpr CkUlong kCkoPublicKey = 2;
constexpr CkUlong kUnavailable = ~CkUlong{0};  // CK_UNAVAILABLE_INFORMATION
constexpr CkUlong kCkfTokenInitialized = 0x400;

struct CkAttribute {
    CkUlong type;
    void* value;
    CkUlong length;
};

// CK_TOKEN_INFO starts with its 32-byte blank-padded label, then the maker,
// model and serial number (64 bytes) and the flags; the rest (208 bytes on
// LP64 in all) is room the module fills and nobody reads.
struct CkTokenInfo {
    unsigned char label[32];
    unsigned char maker_model_serial[64];
    CkUlong flags;
    unsigned char rest[512];
};
static_assert(offsetof(CkTokenInfo, flags) == 96, "CK_TOKEN_INFO's flags follow 96 bytes of text");

struct Cryptoki {
    CkRv (*initialize)(void*);
    CkRv (*finalize)(void*);
    CkRv (*get_slot_list)(unsigned char, CkUlong*, CkUlong*);
    CkRv (*get_token_info)(CkUlong, CkTokenInfo*);
    CkRv (*open_session)(CkUlong, CkUlong, void*, void*, CkUlong*);
    CkRv (*close_session)(CkUlong);
    CkRv (*find_objects_init)(CkUlong, CkAttribute*, CkUlong);
    CkRv (*find_objects)(CkUlong, CkUlong*, CkUlong, CkUlong*);
    CkRv (*find_objects_final)(CkUlong);
    CkRv (*get_attribute_value)(CkUlong, CkUlong, CkAttribute*, CkUlong);
};

template <typename Function>
bool Bind(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

bool BindCryptoki(void* library, Cryptoki& ck) {
    return Bind(library, "C_Initialize", ck.initialize) &&
           Bind(library, "C_Finalize", ck.finalize) &&
           Bind(library, "C_GetSlotList", ck.get_slot_list) &&
           Bind(library, "C_GetTokenInfo", ck.get_token_info) &&
           Bind(library, "C_OpenSession", ck.open_session) &&
           Bind(library, "C_CloseSession", ck.close_session) &&
           Bind(library, "C_FindObjectsInit", ck.find_objects_init) &&
           Bind(library, "C_FindObjects", ck.find_objects) &&
           Bind(library, "C_FindObjectsFinal", ck.find_objects_final) &&
           Bind(library, "C_GetAttributeValue", ck.get_attribute_value);
}

struct CloseLibrary {
    void operator()(void* library) const { ::dlclose(library); }
};

// The module initialized for this look, finalized again unless another part
// of the process had initialized it first.
class Initialized {
  public:
    explicit Initialized(const Cryptoki& ck) : ck_(ck) {
        const CkRv rv = ck_.initialize(nullptr);
        ok_ = rv == kCkrOk || rv == kCkrAlreadyInitialized;
        owned_ = rv == kCkrOk;
    }
    ~Initialized() {
        if (owned_) {
            ck_.finalize(nullptr);
        }
    }
    Initialized(const Initialized&) = delete;
    Initialized& operator=(const Initialized&) = delete;
    bool ok() const { return ok_; }

  private:
    const Cryptoki& ck_;
    bool ok_ = false;
    bool owned_ = false;
};

class Session {
  public:
    Session(const Cryptoki& ck, CkUlong slot) : ck_(ck) {
        open_ = ck_.open_session(slot, kCkfSerialSession, nullptr, nullptr, &handle_) == kCkrOk;
    }
    ~Session() {
        if (open_) {
            ck_.close_session(handle_);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    bool open() const { return open_; }
    CkUlong handle() const { return handle_; }

  private:
    const Cryptoki& ck_;
    CkUlong handle_ = 0;
    bool open_ = false;
};

std::string TokenLabel(const CkTokenInfo& info) {
    std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
    label.erase(label.find_last_not_of(' ') + 1);
    return label;
}

// One attribute's bytes; empty when the object has none or hides it.
std::vector<unsigned char> Attribute(const Cryptoki& ck, CkUlong session, CkUlong object,
                                     CkUlong type) {
    CkAttribute attribute{type, nullptr, 0};
    if (ck.get_attribute_value(session, object, &attribute, 1) != kCkrOk ||
        attribute.length == kUnavailable || attribute.length == 0 || attribute.length > 65536) {
        return {};
    }
    std::vector<unsigned char> bytes(attribute.length);
    attribute.value = bytes.data();
    if (ck.get_attribute_value(session, object, &attribute, 1) != kCkrOk ||
        attribute.length != bytes.size()) {
        return {};
    }
    return bytes;
}

// The public key objects `query` names in the session's token: at most two
// handles are asked for, since only a single match says anything.
std::vector<CkUlong> FindPublicKeys(const Cryptoki& ck, CkUlong session,
                                    const TokenKeyQuery& query) {
    CkUlong key_class = kCkoPublicKey;
    std::string label = query.object_label;
    std::vector<unsigned char> id = query.id;
    std::vector<CkAttribute> wanted = {{kCkaClass, &key_class, sizeof key_class}};
    if (!label.empty()) {
        wanted.push_back({kCkaLabel, label.data(), label.size()});
    }
    if (!id.empty()) {
        wanted.push_back({kCkaId, id.data(), id.size()});
    }
    if (ck.find_objects_init(session, wanted.data(), wanted.size()) != kCkrOk) {
        return {};
    }
    CkUlong found[2] = {};
    CkUlong count = 0;
    const bool listed = ck.find_objects(session, found, 2, &count) == kCkrOk;
    ck.find_objects_final(session);
    return listed ? std::vector<CkUlong>(found, found + std::min<CkUlong>(count, 2))
                  : std::vector<CkUlong>{};
}

std::optional<TokenPublicKey> ReadFromSlot(const Cryptoki& ck, CkUlong slot,
                                           const TokenKeyQuery& query) {
    CkTokenInfo info{};
    if (ck.get_token_info(slot, &info) != kCkrOk ||
        (!query.token_label.empty() && TokenLabel(info) != query.token_label)) {
        return std::nullopt;
    }
    const Session session(ck, slot);
    if (!session.open()) {
        return std::nullopt;
    }
    const std::vector<CkUlong> keys = FindPublicKeys(ck, session.handle(), query);
    if (keys.size() != 1) {
        return std::nullopt;
    }
    TokenPublicKey key;
    key.rsa_modulus = Attribute(ck, session.handle(), keys.front(), kCkaModulus);
    key.rsa_exponent = Attribute(ck, session.handle(), keys.front(), kCkaPublicExponent);
    key.ec_point = Attribute(ck, session.handle(), keys.front(), kCkaEcPoint);
    if ((key.rsa_modulus.empty() || key.rsa_exponent.empty()) && key.ec_point.empty()) {
        return std::nullopt;
    }
    return key;
}

// The slots that hold a token; nullopt when the module does not list them.
std::optional<std::vector<CkUlong>> SlotsWithToken(const Cryptoki& ck) {
    // A second call, since the list may change between them.
    CkUlong count = 0;
    if (ck.get_slot_list(/*token_present=*/1, nullptr, &count) != kCkrOk || count > 1024) {
        return std::nullopt;
    }
    std::vector<CkUlong> slots(count);
    if (count != 0 && ck.get_slot_list(/*token_present=*/1, slots.data(), &count) != kCkrOk) {
        return std::nullopt;
    }
    slots.resize(std::min<CkUlong>(count, slots.size()));
    return slots;
}

// Loads `module`, initializes it for this look and hands `use` the slots
// that hold a token; nullopt when the module does not load, bind, initialize
// or list its slots. Everything is released again, in order, on every path.
template <typename Result, typename Use>
std::optional<Result> WithTokenSlots(const std::string& module, Use use) {
    const std::unique_ptr<void, CloseLibrary> library(
        ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL));
    Cryptoki ck{};
    if (!library || !BindCryptoki(library.get(), ck)) {
        return std::nullopt;
    }
    const Initialized initialized(ck);
    if (!initialized.ok()) {
        return std::nullopt;
    }
    const std::optional<std::vector<CkUlong>> slots = SlotsWithToken(ck);
    if (!slots) {
        return std::nullopt;
    }
    return use(ck, *slots);
}

}  // namespace

std::optional<std::vector<std::string>> PresentTokenLabels(const std::string& module) {
    return WithTokenSlots<std::vector<std::string>>(
        module, [](const Cryptoki& ck, const std::vector<CkUlong>& slots) {
            std::vector<std::string> labels;
            for (const CkUlong slot : slots) {
                CkTokenInfo info{};
                // An uninitialized token holds no key: the signer finds no token there.
                if (ck.get_token_info(slot, &info) == kCkrOk &&
                    (info.flags & kCkfTokenInitialized) != 0) {
                    labels.push_back(TokenLabel(info));
                }
            }
            return labels;
        });
}

std::optional<TokenPublicKey> ReadTokenPublicKey(const std::string& module,
                                                 const TokenKeyQuery& query) {
    return WithTokenSlots<TokenPublicKey>(
        module,
        [&query](const Cryptoki& ck,
                 const std::vector<CkUlong>& slots) -> std::optional<TokenPublicKey> {
            std::optional<TokenPublicKey> found;
            for (const CkUlong slot : slots) {
                std::optional<TokenPublicKey> key = ReadFromSlot(ck, slot, query);
                if (key) {
                    if (found) {
                        // Two tokens hold such a key: the URI is not precise enough.
                        return std::nullopt;
                    }
                    found = std::move(key);
                }
            }
            return found;
        });
}

}  // namespace korvanthelm::pack
