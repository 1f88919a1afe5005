// Decides, once per function, whether the block route may use the vector
// exp, log and pow: the CPU must be at x86-64-v4, the libm the process loaded
// must be a build the kernels were verified against (by its GNU build-id),
// and the kernel must agree with that libm on a fixed check set. Built for
// baseline x86-64; it runs a kernel only on a CPU that has the level.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "vector_libm.h"
#include "vector_libm_check.h"

namespace tarnex::detail {
namespace {

// Every libm build the kernels were verified against with the verification
// tool (README: adding a libm build).
struct VerifiedLibm {
    const char* build_id;
    const char* build;
};
constexpr VerifiedLibm VERIFIED_LIBMS[] = {
    {"d6e6f9e3af1243eed9bf5efd366dd015a9f22c13", "Debian 12, libc6 2.36-9+deb12u14"},
    {"befc0308f899f79b901d4e738992787368cf70f7", "Debian 13, libc6 2.41-12+deb13u5"},
};

std::string hex(const unsigned char* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

struct BuildIdSearch {
    uintptr_t address;
    std::string build_id;
};

// The build-id note of a loaded object's PT_NOTE segments, or "".
std::string buildIdOf(const dl_phdr_info& info) {
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info.dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) continue;
        const auto* at = reinterpret_cast<const unsigned char*>(info.dlpi_addr + segment.p_vaddr);
        const unsigned char* end = at + segment.p_memsz;
        while (at + sizeof(ElfW(Nhdr)) <= end) {
            ElfW(Nhdr) note;
            std::memcpy(&note, at, sizeof note);
            const unsigned char* name = at + sizeof note;
            const unsigned char* desc = name + ((note.n_namesz + 3) & ~3u);
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0 &&
                desc + note.n_descsz <= end)
                return hex(desc, note.n_descsz);
            at = desc + ((note.n_descsz + 3) & ~3u);
        }
    }
    return "";
}

int findBuildId(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<BuildIdSearch*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && search->address - start < segment.p_memsz) {
            search->build_id = buildIdOf(*info);
            return 1;
        }
    }
    return 0;
}

// The build-id of the object that the dynamic linker resolves f's name to:
// the libm the process uses, unless another library stands in for f.
std::string readBuildIdOf(VectorLibmFunction f) {
    BuildIdSearch search{reinterpret_cast<uintptr_t>(dlsym(RTLD_DEFAULT, vectorLibmName(f))), ""};
    if (search.address != 0) dl_iterate_phdr(findBuildId, &search);
    return search.build_id;
}

const std::string& libmBuildId(VectorLibmFunction f) {
    static const std::string ids[VECTOR_LIBM_FUNCTIONS] = {
#define TARNEX_VECTOR_LIBM_BUILD_ID(function, ...) readBuildIdOf(VectorLibmFunction::function),
        TARNEX_VECTOR_LIBM(TARNEX_VECTOR_LIBM_BUILD_ID)
#undef TARNEX_VECTOR_LIBM_BUILD_ID
    };
    return ids[static_cast<int>(f)];
}

bool verifiedBuild(const std::string& build_id) {
    for (const VerifiedLibm& libm : VERIFIED_LIBMS)
        if (build_id == libm.build_id) return true;
    return false;
}

// The self-check: the kernel and the libm on every input of the check set,
// a chunk at a time, so that the kernel's results are still in the cache
// when they are compared, and the first difference ends it.
bool agreesWithLibm(VectorLibmFunction f) {
    return checkInChunks(f, [f](size_t count, const double* a, const double* b) {
        double out[CHECK_CHUNK];
        if (!evaluateVectorLibm(f, count, out, a, b)) return false;
        for (size_t i = 0; i < count; ++i)
            if (std::bit_cast<uint64_t>(out[i]) != std::bit_cast<uint64_t>(libmValue(f, a[i], b[i]))) return false;
        return true;
    });
}

enum class State : uint8_t { UNDECIDED, USED, REFUSED };

struct Decisions {
    std::mutex deciding;
    std::atomic<State> state[VECTOR_LIBM_FUNCTIONS]{};
    std::atomic<const char*> reason[VECTOR_LIBM_FUNCTIONS]{};
    bool build_id_overridden = false;  // under `deciding`
    std::string build_id;              // under `deciding`, when overridden
};

Decisions& decisions() {
    static Decisions all;
    return all;
}

const char* decide(VectorLibmFunction f, const std::string& build_id) {
    if (bestKernelLevel() != KernelLevel::X86_64_V4) return "CPU below x86-64-v4";
    if (build_id.empty()) return "libm build-id unknown";
    if (!verifiedBuild(build_id)) return "libm build not verified";
    if (!agreesWithLibm(f)) return "self-check disagrees with libm";
    return nullptr;
}

void decideOnce(VectorLibmFunction f) {
    Decisions& all = decisions();
    const int index = static_cast<int>(f);
    std::lock_guard lock(all.deciding);
    if (all.state[index].load(std::memory_order_relaxed) != State::UNDECIDED) return;
    const char* refusal = decide(f, all.build_id_overridden ? all.build_id : libmBuildId(f));
    all.reason[index].store(refusal ? refusal : "verified libm", std::memory_order_relaxed);
    all.state[index].store(refusal ? State::REFUSED : State::USED, std::memory_order_release);
}

}  // namespace

bool vectorLibmAllowed(VectorLibmFunction f) {
    const int index = static_cast<int>(f);
    State state = decisions().state[index].load(std::memory_order_acquire);
    if (state == State::UNDECIDED) {
        decideOnce(f);
        state = decisions().state[index].load(std::memory_order_acquire);
    }
    return state == State::USED;
}

VectorLibmDecision vectorLibmDecision(VectorLibmFunction f) {
    const bool used = vectorLibmAllowed(f);
    return {used, decisions().reason[static_cast<int>(f)].load(std::memory_order_relaxed)};
}

double blockCallNanoseconds(BuiltinFunc id) {
#define TARNEX_VECTOR_LIBM_COST(function, builtin, name, arity, nanoseconds) \
    if (id == BuiltinFunc::builtin && vectorLibmAllowed(VectorLibmFunction::function)) return nanoseconds;
    TARNEX_VECTOR_LIBM(TARNEX_VECTOR_LIBM_COST)
#undef TARNEX_VECTOR_LIBM_COST
    return BUILTIN_TABLE[static_cast<int>(id)].nanoseconds;
}

const char* loadedLibmBuildId() { return libmBuildId(VectorLibmFunction::EXP).c_str(); }

void redecideVectorLibm(const char* build_id) {
    Decisions& all = decisions();
    std::lock_guard lock(all.deciding);
    all.build_id_overridden = build_id != nullptr;
    all.build_id = build_id ? build_id : "";
    for (auto& state : all.state) state.store(State::UNDECIDED, std::memory_order_release);
}

bool evaluateVectorLibm(VectorLibmFunction f, uint64_t count, double* out, const double* a, const double* b) {
    if (bestKernelLevel() != KernelLevel::X86_64_V4) return false;
    switch (f) {
        case VectorLibmFunction::EXP: vectorExp(count, out, a); return true;
        case VectorLibmFunction::LOG: vectorLog(count, out, a); return true;
        case VectorLibmFunction::POW: vectorPow(count, out, a, b, VV); return true;
    }
    return false;
}

}  // namespace tarnex::detail
