#include "Component.h"

#include <algorithm>

TComponent::TComponent(TComponent* AOwner)
    : FOwner(AOwner), FDesigning(AOwner != nullptr && AOwner->Designing()) {
  if (FOwner != nullptr) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  // Each owned component removes itself from the list as it goes.
  while (!FComponents.empty()) delete FComponents.back();
  if (FOwner != nullptr) {
    auto& siblings = FOwner->FComponents;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
}
