#include "tarn/dynarray/global_constant.h"

namespace tarn {

namespace {

String one(std::int32_t code) {
  return String(1, static_cast<char16_t>(code));
}

}  // namespace

clsTarnGlobalConstant::clsTarnGlobalConstant()
    : keyComp_(one(TarnIndexCompKey)),
      keyLast_(one(TarnIndexLastKey)),
      keyNext_(one(TarnIndexNextKey)),
      keyPrev_(one(TarnIndexPrevKey)),
      keyRtrn_(one(TarnIndexRtrnKey)),
      keyVrfy_(one(TarnIndexVrfyKey)),
      keyXtra_(one(TarnIndexXtraKey)),
      am_(one(TarnAM)),
      sb_(one(TarnSB)),
      sm_(one(TarnSM)),
      svm_(one(TarnSVM)),
      vm_(one(TarnVM)) {}

Ref<clsTarnGlobalConstant> clsTarnGlobalConstant::create() {
  return Ref<clsTarnGlobalConstant>(new clsTarnGlobalConstant());
}

clsTarnGlobalConstant& clsTarnGlobalConstant::global() {
  // Its reference is never given back, so the instance outlives every client, even at exit.
  static clsTarnGlobalConstant* const instance = create().detach();
  return *instance;
}

}  // namespace tarn
