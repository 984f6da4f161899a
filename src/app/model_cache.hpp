#pragma once
// The server's backend and the one model it keeps loaded, with the path it
// was loaded from.

#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "engine/backend.hpp"
#include "engine/model.hpp"

namespace debrindle {

class ModelCache {
public:
    explicit ModelCache(EngineBackend backend) : backend_(std::move(backend)) {}

    // Makes the cache hold the model of `model_path`, loading it only when
    // the cached path differs. A new model is loaded before the old one is
    // released; a failed load leaves the cache as it was. A cached model
    // whose file has been cut short since its load is dropped, and the
    // request fails.
    Result<Done, std::string> ensure_loaded(std::string_view model_path);

    const EngineBackend& backend() const { return backend_; }
    // The cached model, if any.
    const LoadedModel* model() const { return model_ ? &*model_ : nullptr; }

private:
    // Declared first so that it is released last.
    EngineBackend backend_;
    std::string path_;
    std::optional<LoadedModel> model_;
};

}  // namespace debrindle
