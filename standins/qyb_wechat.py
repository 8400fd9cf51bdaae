"""Ready scenes of the WeChat client's Moments window on the fake desktop, with their reactions.

``MomentsScene(desk)`` puts up the Moments window ("朋友圈") with its toolbar, its close button
and a timeline list fed by a ``Feed`` (12 posts, 4 visible by default). Each further piece is
switched on by a method: ``popup`` (a click at the post's bottom-right offset opens the
interaction pop-up), ``enable_publish`` (the menu, the file dialog, the publish panel, the
privacy panel and the tag picker, opening as WeChat opens them), or opened at once for a test
of one class: ``open_popup``, ``open_file_dialog``, ``open_publish_panel``,
``open_privacy_panel``, ``open_tag_picker``. What the user would see afterwards is kept on the
scene: ``liked``, ``comments``, ``opened_files``, ``privacy``, ``ticked``, ``presses``, and
the texts of the nodes (``input_box.text``). Anything else is a reaction away: a panel that
is gone before the first test of the publish loop, for one, is
``desk.on("ShortcutPaste", None, lambda event: scene.close_publish_panel())``.
"""

from qyb_desktop import Node, Rect

import win32con

WINDOW_RECT = Rect(100, 100, 700, 1000)
TOOLBAR_HEIGHT = 60
POST_CLASS = "mmui::TimelineContentCell"
COMMENT_CLASS = "mmui::TimelineCommentCell"
TAGS = ("家人", "同事", "同事A", "同学")


class Feed:
    """A virtual list: only the cells that meet the viewport are children of the list node.

    The viewport is the list node's rectangle; cells are stacked from ``offset`` 0 with their
    own heights, each one's top at the bottom of the one before. A cell out of view is
    detached but alive, with a rectangle of height 0 at the edge it left by. Each wheel notch
    scrolls ``notch`` pixels; the list never scrolls past its last cell.
    """

    def __init__(self, desk, list_node, cells=(), *, cell_height=100, notch=None):
        self.desk = desk
        self.list = list_node
        self.cell_height = cell_height
        self.notch = cell_height if notch is None else notch
        self.cells = []
        self.heights = {}
        self.offset = 0
        for cell in cells:
            self.cells.append(cell)
            self.heights[cell] = cell_height
        self.layout()
        desk.on("WheelDown", None, self._on_wheel)
        desk.on("RollIntoView", None, self._on_roll)

    def insert_after(self, cell, new, height=None):
        self.cells.insert(self.cells.index(cell) + 1, new)
        self.heights[new] = self.cell_height if height is None else height
        self.layout()
        return new

    def set_height(self, cell, height):
        self.heights[cell] = height
        self.layout()

    def _tops(self):
        top, tops = 0, {}
        for cell in self.cells:
            tops[cell] = top
            top += self.heights[cell]
        return tops, top

    def scroll_to(self, offset):
        _, total = self._tops()
        self.offset = max(0, min(offset, total - self.list.rect.height()))
        self.layout()

    def layout(self):
        view = self.list.rect
        tops, _ = self._tops()
        for cell in list(self.list.children):
            cell.detach()
        for cell in self.cells:
            top = view.top + tops[cell] - self.offset
            bottom = top + self.heights[cell]
            # A collapsed cell inside the view stays a child, with its zero height.
            if top < view.bottom and (bottom > view.top if bottom > top else top >= view.top):
                cell.rect = Rect(view.left, top, view.right, bottom)
                self.list.add(cell)
            else:
                edge = view.top if bottom <= view.top else view.bottom
                cell.rect = Rect(view.left, edge, view.right, edge)

    def _on_wheel(self, event):
        # The wheel over the list, over one of its cells or over the window around it.
        target = event.target
        if target is not None and (_within(target, self.list) or _within(self.list, target)):
            self.scroll_to(self.offset + event.kwargs["wheelTimes"] * self.notch)

    def _on_roll(self, event):
        if event.target in self.heights:
            self.roll_into_view(event.target)

    def roll_into_view(self, cell):
        """Scrolls the least that shows the whole cell."""
        tops, _ = self._tops()
        top, bottom = tops[cell], tops[cell] + self.heights[cell]
        height = self.list.rect.height()
        if top < self.offset:
            self.scroll_to(top)
        elif bottom > self.offset + height:
            self.scroll_to(bottom - height)


def _within(node, ancestor):
    while node is not None:
        if node is ancestor:
            return True
        node = node.parent
    return False


def posts(count, start=1):
    """``count`` post cells named "post <n>"."""
    return [Node("ListItemControl", Name=f"post {n}", ClassName=POST_CLASS) for n in range(start, start + count)]


class MomentsScene:
    """The Moments window; see the module's text."""

    def __init__(self, desk, *, toolbar=("发表", "刷新", "关闭"), close_size=(40, 30), feed=12,
                 visible=4, cell_height=100, notch=None, shown_after=0):
        """``feed`` is a number of posts or a list of cells; the window is shown at once, or
        ``shown_after`` ``FindWindow`` calls miss it first, or it never shows (None). The close
        button is the toolbar's "关闭", else one beside the toolbar."""
        self.desk = desk
        win = Rect(WINDOW_RECT.left, WINDOW_RECT.top, WINDOW_RECT.right, WINDOW_RECT.bottom)
        width, height = close_size
        self.buttons = []
        for index, name in enumerate(toolbar):
            rect = (Rect(win.right - width, win.top, win.right, win.top + height) if name == "关闭"
                    else Rect(win.left + 50 * index, win.top + 10, win.left + 50 * index + 40, win.top + 40))
            self.buttons.append(Node("ButtonControl", Name=name, ClassName="mmui::XButton", rect=rect))
        self.toolbar = Node("ToolBarControl", ClassName="mmui::SNSWindowToolBar", children=self.buttons)
        top = win.top + TOOLBAR_HEIGHT
        self.list = Node("ListControl", ClassName="mmui::TimelineListView",
                         rect=Rect(win.left, top, win.right, top + visible * cell_height))
        children = [Node("GroupControl", ClassName="mmui::SNSWindowTitleBar", children=[self.toolbar])]
        if "关闭" not in toolbar:
            children.append(Node("ButtonControl", Name="关闭", ClassName="mmui::XButton",
                                 rect=Rect(win.right - width, win.top, win.right, win.top + height)))
        children.append(self.list)
        self.window = Node("WindowControl", Name="朋友圈", ClassName="mmui::SNSWindow", rect=win, children=children)
        cells = posts(feed) if isinstance(feed, int) else list(feed)
        self.feed = Feed(desk, self.list, cells, cell_height=cell_height, notch=notch)
        self.liked = set()
        self.comments = []
        self.opened_files = []
        self.privacy = None
        self.ticked = []
        self.presses = 0
        self.popup_node = None
        self._popup_buttons, self._comment_ring, self._comment_field = None, ("表情", "发送"), True
        self._closes_after, self._tags = 1, TAGS
        self.dialog = self.dialog_window = self.panel = self.privacy_panel = self.picker = self.menu = None
        self._show(shown_after)

    def button(self, name):
        """The last toolbar button of that name."""
        return [b for b in self.buttons if b.Name == name][-1]

    def _show(self, after):
        if after == 0:
            self.desk.root.add(self.window)
        elif after is not None:
            searches = []

            def count(event):
                searches.append(event)
                if len(searches) == after and self.window.parent is None:
                    self.desk.root.add(self.window)
            self.desk.on("FindWindow", None, count)

    # --- the interaction pop-up ---

    def popup(self, *, opens_at=-30, buttons=None, comment_ring=("表情", "发送"), comment_field=True):
        """A click with ``pos="rightbottom"`` on a post at ``x`` <= ``opens_at`` (and ``y`` within
        the cell) opens the pop-up; None: it never opens. ``buttons`` fixes the pop-up's buttons,
        else "赞" or "取消" (by ``liked``) and "评论". "评论" opens the comment cell under the post,
        whose ``comment_ring`` buttons "{Tab}" walks."""
        self._popup_buttons = buttons
        self._comment_ring = comment_ring
        self._comment_field = comment_field

        def on_click(event):
            kw = event.kwargs
            if (opens_at is not None and event.target in self.feed.heights and kw.get("pos") == "rightbottom"
                    and kw.get("x", 0) <= opens_at and -event.target.rect.height() < kw.get("y", 0) <= 0):
                self.open_popup(event.target)
        self.desk.on("Click", None, on_click)

    def open_popup(self, post):
        if self.popup_node is not None and self.popup_node.alive:
            return self.popup_node
        names = self._popup_buttons
        if names is None:
            names = ("取消" if post in self.liked else "赞", "评论")
        self.popup_node = self.window.add(Node("WindowControl", Name="Weixin", ClassName="mmui::TimelineFloatMenu",
                                               children=[Node("ButtonControl", Name=n) for n in names]))
        self.popup_post = post
        for button in self.popup_node.children:
            self.desk.on("Click", button, self._on_popup_button)
        self.desk.on("SendKeys", self.popup_node, self._on_popup_keys)
        return self.popup_node

    def _close_popup(self):
        if self.popup_node is not None:
            self.popup_node.remove()

    def _on_popup_keys(self, event):
        if event.args == ("{ESC}",):
            self._close_popup()

    def _on_popup_button(self, event):
        name = event.target.Name
        self._close_popup()
        if name == "赞":
            self.liked.add(self.popup_post)
        elif name == "取消":
            self.liked.discard(self.popup_post)
        elif name == "评论" and self._comment_field:
            self.open_comment(self.popup_post)

    def open_comment(self, post):
        ring = [Node("ButtonControl", Name=name) for name in self._comment_ring]
        cell = Node("ListItemControl", ClassName=COMMENT_CLASS, children=ring)
        self.feed.insert_after(post, cell, height=60)
        self.feed.roll_into_view(cell)
        for button in ring:
            self.desk.on("SendKeys", button, lambda event, cell=cell, post=post: self._on_send(event, cell, post))
        self.desk.focus_ring(ring)
        return cell

    def _on_send(self, event, cell, post):
        if event.args == ("{Enter}",) and event.target.Name == "发送":
            self.comments.append((post, cell.text))

    # --- publishing ---

    def enable_publish(self, *, menu_delay=0, dialog=True, dialog_buttons=2, closes_after=1,
                       tags=TAGS):
        """Right click on "发表": the menu shows after ``menu_delay`` more ``Menu`` looks (None:
        never); "发表文字" opens the publish panel. Left click on "发表": the file dialog (unless
        ``dialog`` is false), whose Open press opens the panel. "谁可以看" opens the privacy panel
        and with it the tag picker (over ``tags``), whatever radio button is chosen; "确定" closes
        both. The panel closes on the
        ``closes_after``-th press of its "发表" (None: never). A menu "look" is a ``Menu`` built;
        ``menu_delay`` looks miss the menu, the next one sees it."""
        self._dialog_buttons = dialog_buttons
        self._closes_after = closes_after
        self._tags = tags
        publish = self.button("发表")
        if menu_delay is not None:
            missed = None  # Menu looks since the right click while the menu is due, else None

            def on_right_click(event):
                nonlocal missed
                missed = 0
                if menu_delay == 0:
                    missed = None
                    self.open_menu()

            def on_menu(event):
                nonlocal missed
                if missed is not None:
                    missed += 1
                    if missed > menu_delay:
                        missed = None
                        self.open_menu()
            self.desk.on("RightClick", publish, on_right_click)
            self.desk.on("Menu", None, on_menu)
        if dialog:
            self.desk.on("Click", publish, lambda event: self.open_file_dialog(dialog_buttons))

    def open_menu(self):
        item = Node("MenuItemControl", Name="发表文字")
        menu = self.menu = self.desk.root.add(Node("WindowControl", Name="", ClassName="mmui::XMenu", children=[item]))
        self.desk.on("Click", item, lambda event: (menu.remove(), self.open_publish_panel()))
        return menu

    def open_file_dialog(self, buttons=2):
        """The top-level "打开" window that ``FindWindow`` sees and the "选择文件" control under
        the Moments window, with an Edit, a combo box and ``buttons`` buttons (the first: Open)."""
        self.dialog_window = self.desk.window("打开", "#32770")
        self.edit = Node("EditControl", ClassName="Edit")
        names = ["打开(O)", "取消"] + [f"按钮{n}" for n in range(3, buttons + 1)]
        self.dialog_buttons = [Node("ButtonControl", Name=n, ClassName="Button") for n in names[:buttons]]
        self.dialog = self.window.add(Node("WindowControl", Name="选择文件", ClassName="#32770", children=[
            Node("ComboBoxControl", ClassName="ComboBoxEx32", children=[self.edit]),
            *self.dialog_buttons]))
        if self.dialog_buttons:
            self.desk.on("SendMessage", self.dialog_buttons[0], self._on_open)
        return self.dialog

    def _on_open(self, event):
        if event.args[1] == win32con.BM_CLICK:
            self.opened_files.append(self.edit.text)
            self.dialog.remove()
            self.dialog_window.remove()
            self.open_publish_panel()

    def open_publish_panel(self):
        if self.panel is not None and self.panel.alive:
            return self.panel
        self.privacy_entry = Node("TextControl", Name="谁可以看")
        self.input_box = Node("GroupControl", ClassName="mmui::PublishInputView",
                              children=[Node("EditControl", ClassName="mmui::XTextEdit")])
        self.publish_button = Node("ButtonControl", Name="发表", ClassName="mmui::XButton")
        self.panel = self.window.add(Node("GroupControl", ClassName="mmui::SnsPublishPanel", children=[
            Node("GroupControl", ClassName="QFScrollArea", children=[self.privacy_entry]),
            self.input_box,
            Node("GroupControl", ClassName="mmui::PublishBottomBar", children=[self.publish_button]),
        ]))
        self.desk.on("Click", self.privacy_entry, lambda event: self.open_privacy_panel())
        self.desk.on("Click", self.publish_button, self._on_publish)
        return self.panel

    def _on_publish(self, event):
        self.presses += 1
        if self.presses == self._closes_after:
            self.close_publish_panel()

    def close_publish_panel(self):
        if self.panel is not None:
            self.panel.remove()

    def open_privacy_panel(self):
        self.radios = {name: Node("RadioButtonControl", Name=name, ClassName="mmui::PublishPrivacySelection")
                       for name in ("公开", "私密", "谁可以看", "不给谁看")}
        self.confirm = Node("ButtonControl", Name="确定", ClassName="mmui::XOutlineButton")
        self.privacy_panel = self.window.add(Node("GroupControl", ClassName="mmui::PublishPrivacyView",
                                                  children=[*self.radios.values(), self.confirm]))
        for radio in self.radios.values():
            self.desk.on("Click", radio, self._on_radio)
        self.desk.on("Click", self.confirm, self._on_confirm)
        self.open_tag_picker(self._tags)
        return self.privacy_panel

    def _on_radio(self, event):
        self.privacy = event.target.Name

    def _on_confirm(self, event):
        self.privacy_panel.remove()
        if self.picker is not None:
            self.picker.remove()

    def open_tag_picker(self, tags=TAGS):
        """Typing into the search field fills the result view with a check box for each tag
        that contains the typed text; "完成" closes the picker."""
        self.search_field = Node("GroupControl", ClassName="mmui::XSearchField")
        self.results = Node("GroupControl", ClassName="mmui::SPMasterView")
        self.done = Node("ButtonControl", Name="完成", ClassName="mmui::XOutlineButton")
        self.picker = self.window.add(Node("WindowControl", Name="微信谁可以看", ClassName="mmui::SessionPickerWindow",
                                           children=[Node("GroupControl", children=[self.search_field]),
                                                     self.results, self.done]))

        def on_input(event):
            for box in list(self.results.children):
                box.remove()
            typed = self.search_field.text
            for tag in tags:
                if typed and typed in tag:
                    box = self.results.add(Node("CheckBoxControl", Name=tag))
                    self.desk.on("Click", box, lambda event: self.ticked.append(event.target.Name))
        self.desk.on("Input", self.search_field, on_input)
        self.desk.on("Click", self.done, lambda event: self.picker.remove())
        return self.picker
