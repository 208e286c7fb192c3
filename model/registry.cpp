#include "model/registry.hpp"

namespace plix::model {

// One entry per model: the file that defines NAME_kind() and nothing else.
#define PLIX_MODEL_KINDS(X) \
    X(physical)             \
    X(seed)                 \
    X(oa_2pa)               \
    X(oa_3pa)               \
    X(oa_saturable)         \
    X(oa_esa_fluence)       \
    X(ca_thin)              \
    X(ca_thick)

#define PLIX_DECLARE(NAME) ModelKind NAME##_kind();
PLIX_MODEL_KINDS(PLIX_DECLARE)
#undef PLIX_DECLARE

const std::vector<ModelKind>& model_kinds() {
#define PLIX_ENTRY(NAME) NAME##_kind(),
    static const std::vector<ModelKind> kinds{PLIX_MODEL_KINDS(PLIX_ENTRY)};
#undef PLIX_ENTRY
    return kinds;
}

const ModelKind* find_model_kind(const std::string& name) {
    for (const ModelKind& kind : model_kinds())
        if (kind.name == name) return &kind;
    return nullptr;
}

}  // namespace plix::model
