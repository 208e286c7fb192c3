// The registry of model kinds: what plix.Model, the set-up file's [model] table and the
// command line offer.
#pragma once

#include <string>
#include <vector>

#include "model/model_kind.hpp"

namespace plix::model {

// Every kind, in the order they are listed to users.
const std::vector<ModelKind>& model_kinds();

// The kind of a name, or null.
const ModelKind* find_model_kind(const std::string& name);

}  // namespace plix::model
