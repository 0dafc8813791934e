#include "server/engine/port.h"

#include "server/engine/session.h"
#include "server/engine/store/protection.h"

namespace tarn::server {

std::unique_ptr<Port> Port::open(const PortConfig& config, const Credentials& credentials,
                                 const Limits& limits) {
  try {
    std::unique_ptr<store::System> system = store::openSystem(config.system, config.createAccount);
    return std::make_unique<Session>(
        std::move(system),
        config.account.empty() ? std::string(store::kSystemAccount) : config.account, credentials,
        limits, config.callTimeLimit, config.createAccount);
  } catch (const store::AccessDenied& e) {
    throw AccessDenied(e.what());
  } catch (const store::StoreError& e) {
    throw EngineError(e.what());
  }
}

}  // namespace tarn::server
