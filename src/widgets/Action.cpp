#include "widgets/Action.h"

#include <algorithm>

namespace widgets {

namespace {

std::vector<TActionList*>& AllLists() {
    static std::vector<TActionList*> lists;
    return lists;
}

// Stores value unless field already holds it; true when it changed, so that
// an unchanged setting tells no client.
template <class T, class V>
bool Assign(T& field, const V& value) {
    if (field == value) return false;
    field = value;
    return true;
}

}  // namespace

TAction::TAction(TActionList& list, TOptions options)
    : list_(list),
      caption_(std::move(options.Caption)),
      imageIndex_(options.ImageIndex),
      enabled_(options.Enabled),
      visible_(options.Visible) {
    list_.actions_.push_back(this);
}

TAction::~TAction() {
    auto& a = list_.actions_;
    a.erase(std::remove(a.begin(), a.end(), this), a.end());
}

void TAction::SetCaption(std::wstring_view caption) {
    if (Assign(caption_, caption)) Changed();
}

void TAction::SetImageIndex(int index) {
    if (Assign(imageIndex_, index)) Changed();
}

void TAction::SetEnabled(bool enabled) {
    if (Assign(enabled_, enabled)) Changed();
}

void TAction::SetVisible(bool visible) {
    if (Assign(visible_, visible)) Changed();
}

bool TAction::Execute() {
    if (!enabled_ || !OnExecute) return false;
    OnExecute(this);
    return true;
}

void TAction::AddClient(TActionClient* client) {
    if (std::find(clients_.begin(), clients_.end(), client) == clients_.end()) clients_.push_back(client);
}

void TAction::RemoveClient(TActionClient* client) noexcept {
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void TAction::Changed() {
    // A client may unbind itself while it is told.
    const std::vector<TActionClient*> clients = clients_;
    for (TActionClient* c : clients) c->ActionChanged(*this);
}

TActionList::TActionList() {
    AllLists().push_back(this);
}

TActionList::~TActionList() {
    auto& all = AllLists();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

void TActionList::UpdateAll() {
    for (TActionList* list : AllLists())
        for (TAction* a : list->actions_)
            if (a->OnUpdate) a->OnUpdate(*a);
}

}  // namespace widgets
