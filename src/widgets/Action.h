// Commands (actions): caption, image, enabled and visible state, and the
// handler. Controls bound to a command follow every change of it.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "widgets/Window.h"

namespace widgets {

class TAction;
class TActionList;
class TImageList;

class TActionClient {
public:
    virtual void ActionChanged(const TAction& action) = 0;

protected:
    ~TActionClient() = default;
};

class TAction : public TObject {
public:
    struct TOptions {
        std::wstring Caption;
        int ImageIndex = -1;
        bool Enabled = true;
        bool Visible = true;
    };

    TAction(TActionList& list, TOptions options);
    ~TAction() override;
    TAction(const TAction&) = delete;
    TAction& operator=(const TAction&) = delete;

    const std::wstring& Caption() const noexcept { return caption_; }
    int ImageIndex() const noexcept { return imageIndex_; }
    bool Enabled() const noexcept { return enabled_; }
    bool Visible() const noexcept { return visible_; }

    void SetCaption(std::wstring_view caption);
    void SetImageIndex(int index);
    void SetEnabled(bool enabled);
    void SetVisible(bool visible);

    // Runs OnExecute with the command as Sender; a disabled command runs
    // nothing. Returns whether the handler ran.
    bool Execute();

    std::function<void(TObject* Sender)> OnExecute;
    // Brings the state up to date; run when the program is idle.
    std::function<void(TAction& action)> OnUpdate;

    void AddClient(TActionClient* client);
    void RemoveClient(TActionClient* client) noexcept;

private:
    void Changed();

    TActionList& list_;
    std::wstring caption_;
    int imageIndex_;
    bool enabled_;
    bool visible_;
    std::vector<TActionClient*> clients_;
};

class TActionList : public TObject {
public:
    TActionList();
    ~TActionList() override;
    TActionList(const TActionList&) = delete;
    TActionList& operator=(const TActionList&) = delete;

    TImageList* Images = nullptr;

    // Runs OnUpdate of every command of every list.
    static void UpdateAll();

private:
    friend class TAction;
    std::vector<TAction*> actions_;
};

}  // namespace widgets
