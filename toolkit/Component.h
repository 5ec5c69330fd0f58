// Object and component base classes: a component has an owner, which
// destroys it, a name, and a design state (set only in a form designer,
// which this program never is).
#pragma once

#include <string>
#include <vector>

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

class TComponent : public TObject {
 public:
  // Joins the owner's list; a component inherits its owner's design state.
  explicit TComponent(TComponent* AOwner);
  // Destroys the owned components, the last created first, and leaves the
  // owner's list.
  ~TComponent() override;

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& name) { FName = name; }

  bool Designing() const { return FDesigning; }
  void SetDesigning(bool value) { FDesigning = value; }

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int index) const { return FComponents.at(index); }

 private:
  TComponent* FOwner;
  std::string FName;
  bool FDesigning;
  std::vector<TComponent*> FComponents;
};
