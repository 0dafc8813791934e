#include "server/engine/port.h"

#include "server/engine/session.h"

namespace tarn::server {

std::unique_ptr<Port> Port::open(const PortConfig& config) {
  try {
    auto system = std::make_unique<store::SystemDirectory>(config.system);
    return std::make_unique<Session>(
        std::move(system),
        config.account.empty() ? std::string(store::kSystemAccount) : config.account,
        config.callTimeLimit);
  } catch (const store::StoreError& e) {
    throw EngineError(e.what());
  }
}

}  // namespace tarn::server
