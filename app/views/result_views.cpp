// The result tree and list on QTreeWidget.
#include <views/result_views.h>

#include <resources/app_resources.h>
#include <salvor/scan/check_rules.h>

#include <QApplication>
#include <QHeaderView>
#include <QMimeDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QStyledItemDelegate>
#include <QThread>
#include <QTreeWidget>

#include <type_traits>

namespace salvor {

namespace {

// Where a node or row keeps what the views hold besides its texts.
constexpr int kDataRole = Qt::UserRole;      // item data (the record a row or node stands for)
constexpr int kCheckRole = Qt::UserRole + 1; // state image: 1 unchecked, 2 checked
constexpr int kNodeRole = Qt::UserRole + 2;  // the node id of a tree item
constexpr int kImageRole = Qt::UserRole + 3; // the node image

const QColor kGridColour(0xD4, 0xD0, 0xC8);

QString qs(const std::string& s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

std::string narrow(const QString& s)
{
    return s.toUtf8().toStdString();
}

// The state image, the item data and the box of a tree or list item; one
// place for both views.
int check_of(const QTreeWidgetItem* it)
{
    return it ? it->data(0, kCheckRole).toInt() : 0;
}

uintptr_t data_of(const QTreeWidgetItem* it)
{
    return it ? uintptr_t(it->data(0, kDataRole).toULongLong()) : uintptr_t(0);
}

void show_check(QTreeWidgetItem* it, bool boxes)
{
    if (boxes)
        it->setData(0, Qt::CheckStateRole, check_of(it) == kChecked ? Qt::Checked : Qt::Unchecked);
    else
        it->setData(0, Qt::CheckStateRole, QVariant());
}

void set_check(QTreeWidgetItem* it, int state, bool boxes)
{
    if (!it || (state != kChecked && state != kUnchecked))
        return;
    it->setData(0, kCheckRole, state);
    show_check(it, boxes);
}

// Runs f on the widget's thread and hands back its result.
template <class F>
auto on_ui(QWidget* w, F&& f) -> decltype(f())
{
    using R = decltype(f());
    if constexpr (std::is_void_v<R>) {
        RunOnWidgetThread(w, f);
    } else {
        R result{};
        RunOnWidgetThread(w, [&] { result = f(); });
        return result;
    }
}

// Draws the cells, optionally with grid lines, and knows where a cell's
// check box lies.
class ResultDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        if (!grid_lines)
            return;
        painter->save();
        painter->setPen(kGridColour);
        const QRect r = option.rect;
        painter->drawLine(r.topRight(), r.bottomRight());
        painter->drawLine(r.bottomLeft(), r.bottomRight());
        painter->restore();
    }

    QRect check_rect(QStyleOptionViewItem option, const QModelIndex& index) const
    {
        initStyleOption(&option, index);
        if (!(option.features & QStyleOptionViewItem::HasCheckIndicator))
            return {};
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        return style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, widget);
    }

    bool grid_lines = false;
};

} // namespace

// The item view behind both classes: reports presses on check boxes instead
// of letting Qt toggle them.
class ResultItemView final : public QTreeWidget {
public:
    explicit ResultItemView(QWidget* parent) : QTreeWidget(parent), m_delegate(new ResultDelegate(this))
    {
        setItemDelegate(m_delegate);
    }

    QRect check_rect(const QModelIndex& index) const
    {
        if (!index.isValid())
            return {};
        QStyleOptionViewItem option;
        initViewItemOption(&option);
        option.rect = visualRect(index);
        if (option.rect.isEmpty())
            return {};
        return m_delegate->check_rect(option, index);
    }

    void set_grid_lines(bool on)
    {
        m_delegate->grid_lines = on;
        viewport()->update();
    }

    std::function<void(QTreeWidgetItem*)> on_box;

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        if (box_hit(event))
            return;
        QTreeWidget::mousePressEvent(event);
    }
    // A double click on a box is a second click on it.
    void mouseDoubleClickEvent(QMouseEvent* event) override
    {
        if (box_hit(event))
            return;
        QTreeWidget::mouseDoubleClickEvent(event);
    }

private:
    bool box_hit(QMouseEvent* event)
    {
        if (event->button() != Qt::LeftButton)
            return false;
        const QPoint pos = event->position().toPoint();
        const QModelIndex index = indexAt(pos);
        if (!index.isValid() || index.column() != 0 || !check_rect(index).contains(pos))
            return false;
        event->accept();
        if (on_box)
            on_box(itemFromIndex(index));
        return true;
    }

    ResultDelegate* m_delegate;
};

void RunOnWidgetThread(QWidget* on, const std::function<void()>& f)
{
    if (!on || QThread::currentThread() == on->thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(on, [&f] { f(); }, Qt::BlockingQueuedConnection);
}

// ---- QtResultTree -------------------------------------------------------

QtResultTree::QtResultTree(QWidget* parent) : m_view(new ResultItemView(parent))
{
    m_view->setObjectName(QStringLiteral("ResultTree"));
    m_view->setColumnCount(1);
    m_view->setHeaderHidden(true);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setIconSize(QSize(zr::kTreeNodeSize, zr::kTreeNodeSize));
    m_view->setUniformRowHeights(true);

    const QImage strip = zr::LoadResourceBitmap(zr::IDB_TREE_NODES);
    for (int x = 0; x + zr::kTreeNodeSize <= strip.width(); x += zr::kTreeNodeSize)
        m_node_icons.emplace_back(QPixmap::fromImage(strip.copy(x, 0, zr::kTreeNodeSize, zr::kTreeNodeSize)));

    m_view->on_box = [this](QTreeWidgetItem* it) {
        const NodeId node = NodeOfItem(it);
        if (node && m_check_boxes && on_check_click)
            on_check_click(node);
    };
    m_selection_connection = QObject::connect(m_view, &QTreeWidget::itemSelectionChanged, m_view, [this] {
        const QList<QTreeWidgetItem*> selected = m_view->selectedItems();
        if (on_selection_changed)
            on_selection_changed(selected.isEmpty() ? 0 : NodeOfItem(selected.front()));
    });
}

// The widget belongs to its parent and may outlive this object.
QtResultTree::~QtResultTree()
{
    QObject::disconnect(m_selection_connection);
    m_view->on_box = nullptr;
}

QTreeWidget* QtResultTree::Widget() const
{
    return m_view;
}

QTreeWidgetItem* QtResultTree::item(NodeId node) const
{
    auto it = m_items.find(node);
    return it == m_items.end() ? nullptr : it->second;
}

QTreeWidgetItem* QtResultTree::ItemOfNode(NodeId node) const
{
    return on_ui(m_view, [&] { return item(node); });
}

NodeId QtResultTree::NodeOfItem(const QTreeWidgetItem* it) const
{
    return it ? NodeId(it->data(0, kNodeRole).toULongLong()) : 0;
}

void QtResultTree::apply_check(QTreeWidgetItem* it) const
{
    show_check(it, m_check_boxes);
}

NodeId QtResultTree::InsertNode(NodeId parent, const std::string& text, int image, int selected_image)
{
    return on_ui(m_view, [&]() -> NodeId {
        QTreeWidgetItem* parent_item = nullptr;
        if (parent) {
            parent_item = item(parent);
            if (!parent_item)
                return 0;
        }
        auto* it = new QTreeWidgetItem;
        it->setText(0, qs(text));
        it->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        QIcon icon;
        if (image >= 0 && size_t(image) < m_node_icons.size())
            icon.addPixmap(m_node_icons[size_t(image)].pixmap(zr::kTreeNodeSize), QIcon::Normal);
        if (selected_image >= 0 && size_t(selected_image) < m_node_icons.size())
            icon.addPixmap(m_node_icons[size_t(selected_image)].pixmap(zr::kTreeNodeSize), QIcon::Selected);
        it->setIcon(0, icon);
        const NodeId id = m_next_id++;
        it->setData(0, kNodeRole, qulonglong(id));
        it->setData(0, kImageRole, image);
        it->setData(0, kDataRole, qulonglong(0));
        it->setData(0, kCheckRole, kUnchecked);
        apply_check(it);
        if (parent_item)
            parent_item->addChild(it);
        else
            m_view->addTopLevelItem(it);
        m_items.emplace(id, it);
        return id;
    });
}

void QtResultTree::forget_subtree(QTreeWidgetItem* it)
{
    std::vector<QTreeWidgetItem*> pending{it};
    while (!pending.empty()) {
        QTreeWidgetItem* n = pending.back();
        pending.pop_back();
        m_items.erase(NodeOfItem(n));
        for (int i = 0; i < n->childCount(); ++i)
            pending.push_back(n->child(i));
    }
}

void QtResultTree::DeleteNode(NodeId node)
{
    on_ui(m_view, [&] {
        QTreeWidgetItem* it = item(node);
        if (!it)
            return;
        forget_subtree(it);
        delete it;
    });
}

void QtResultTree::DeleteAll()
{
    on_ui(m_view, [&] {
        m_items.clear();
        m_view->clear();
    });
}

std::string QtResultTree::Text(NodeId node) const
{
    return on_ui(m_view, [&] {
        QTreeWidgetItem* it = item(node);
        return it ? narrow(it->text(0)) : std::string();
    });
}

int QtResultTree::Image(NodeId node) const
{
    return on_ui(m_view, [&] {
        QTreeWidgetItem* it = item(node);
        return it ? it->data(0, kImageRole).toInt() : 0;
    });
}

int QtResultTree::CheckState(NodeId node) const
{
    return on_ui(m_view, [&] { return check_of(item(node)); });
}

void QtResultTree::SetCheckState(NodeId node, int state)
{
    on_ui(m_view, [&] { set_check(item(node), state, m_check_boxes); });
}

uintptr_t QtResultTree::ItemData(NodeId node) const
{
    return on_ui(m_view, [&] { return data_of(item(node)); });
}

void QtResultTree::SetItemData(NodeId node, uintptr_t data)
{
    on_ui(m_view, [&] {
        if (QTreeWidgetItem* it = item(node))
            it->setData(0, kDataRole, qulonglong(data));
    });
}

NodeId QtResultTree::Parent(NodeId node) const
{
    return on_ui(m_view, [&] {
        QTreeWidgetItem* it = item(node);
        return it ? NodeOfItem(it->parent()) : NodeId(0);
    });
}

NodeId QtResultTree::FirstChild(NodeId node) const
{
    return on_ui(m_view, [&] {
        QTreeWidgetItem* it = item(node);
        return it && it->childCount() > 0 ? NodeOfItem(it->child(0)) : NodeId(0);
    });
}

NodeId QtResultTree::NextSibling(NodeId node) const
{
    return on_ui(m_view, [&]() -> NodeId {
        QTreeWidgetItem* it = item(node);
        if (!it)
            return 0;
        if (QTreeWidgetItem* p = it->parent()) {
            const int i = p->indexOfChild(it);
            return i + 1 < p->childCount() ? NodeOfItem(p->child(i + 1)) : 0;
        }
        const int i = m_view->indexOfTopLevelItem(it);
        return i + 1 < m_view->topLevelItemCount() ? NodeOfItem(m_view->topLevelItem(i + 1)) : 0;
    });
}

NodeId QtResultTree::PreviousSibling(NodeId node) const
{
    return on_ui(m_view, [&]() -> NodeId {
        QTreeWidgetItem* it = item(node);
        if (!it)
            return 0;
        if (QTreeWidgetItem* p = it->parent()) {
            const int i = p->indexOfChild(it);
            return i > 0 ? NodeOfItem(p->child(i - 1)) : 0;
        }
        const int i = m_view->indexOfTopLevelItem(it);
        return i > 0 ? NodeOfItem(m_view->topLevelItem(i - 1)) : 0;
    });
}

NodeId QtResultTree::FirstRoot() const
{
    return on_ui(m_view, [&] {
        return m_view->topLevelItemCount() > 0 ? NodeOfItem(m_view->topLevelItem(0)) : NodeId(0);
    });
}

void QtResultTree::Select(NodeId node)
{
    on_ui(m_view, [&] {
        QTreeWidgetItem* it = item(node);
        if (!it) {
            m_view->clearSelection();
            return;
        }
        m_view->setCurrentItem(it);
        it->setSelected(true);
    });
}

NodeId QtResultTree::Selected() const
{
    return on_ui(m_view, [&] {
        const QList<QTreeWidgetItem*> selected = m_view->selectedItems();
        return selected.isEmpty() ? NodeId(0) : NodeOfItem(selected.front());
    });
}

void QtResultTree::Expand(NodeId node)
{
    on_ui(m_view, [&] {
        if (QTreeWidgetItem* it = item(node))
            it->setExpanded(true);
    });
}

void QtResultTree::SetCheckBoxes(bool on)
{
    on_ui(m_view, [&] {
        m_check_boxes = on;
        for (auto& [id, it] : m_items)
            apply_check(it);
    });
}

QRect QtResultTree::CheckBoxRect(NodeId node) const
{
    return on_ui(m_view, [&] {
        QTreeWidgetItem* it = item(node);
        return it ? m_view->check_rect(m_view->indexFromItem(it, 0)) : QRect();
    });
}

size_t QtResultTree::NodeCount() const
{
    return on_ui(m_view, [&] { return m_items.size(); });
}

// ---- QtResultList -------------------------------------------------------

QtResultList::QtResultList(QWidget* parent) : m_view(new ResultItemView(parent))
{
    m_view->setObjectName(QStringLiteral("ResultList"));
    m_view->setRootIsDecorated(false);
    m_view->setItemsExpandable(false);
    m_view->setUniformRowHeights(true);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setAllColumnsShowFocus(true);
    m_view->setIconSize(QSize(16, 16));
    m_view->header()->setStretchLastSection(false);
    m_view->header()->setSectionsMovable(false);
    SetStandardColumns();

    m_view->on_box = [this](QTreeWidgetItem* it) {
        if (!m_check_boxes)
            return;
        const int row = m_view->indexOfTopLevelItem(it);
        if (row < 0)
            return;
        it->setData(0, kCheckRole, it->data(0, kCheckRole).toInt() == kChecked ? kUnchecked : kChecked);
        apply_check(it);
        if (on_check_changed)
            on_check_changed(size_t(row));
    };
    m_click_connection = QObject::connect(m_view, &QTreeWidget::itemClicked, m_view, [this](QTreeWidgetItem* it, int) {
        const int row = m_view->indexOfTopLevelItem(it);
        if (row >= 0 && on_row_clicked)
            on_row_clicked(size_t(row));
    });
}

QtResultList::~QtResultList()
{
    QObject::disconnect(m_click_connection);
    m_view->on_box = nullptr;
}

QTreeWidget* QtResultList::Widget() const
{
    return m_view;
}

QTreeWidgetItem* QtResultList::row_item(size_t row) const
{
    return row < size_t(m_view->topLevelItemCount()) ? m_view->topLevelItem(int(row)) : nullptr;
}

void QtResultList::apply_check(QTreeWidgetItem* it) const
{
    show_check(it, m_check_boxes);
}

QIcon QtResultList::IconForName(const std::string& name)
{
    static QMimeDatabase db;
    static std::unordered_map<std::string, QIcon> cache;
    // Without a desktop's platform theme (a bare X server, the offscreen
    // platform) Qt knows no icon theme; the installed Adwaita theme has the
    // file-type icons.
    static const bool theme_set = [] {
        QStringList paths = QIcon::themeSearchPaths();
        QString data_dirs = qEnvironmentVariable("XDG_DATA_DIRS");
        if (data_dirs.isEmpty())
            data_dirs = QStringLiteral("/usr/local/share:/usr/share");
        for (const QString& dir : data_dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts))
            if (!paths.contains(dir + QStringLiteral("/icons")))
                paths << dir + QStringLiteral("/icons");
        QIcon::setThemeSearchPaths(paths);
        if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
            QIcon::setThemeName(QStringLiteral("Adwaita"));
        return true;
    }();
    (void)theme_set;
    const QMimeType type = db.mimeTypeForFile(qs(name), QMimeDatabase::MatchExtension);
    const std::string key = narrow(type.name());
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull())
        icon = QIcon::fromTheme(type.genericIconName());
    if (icon.isNull())
        icon = QIcon::fromTheme(QStringLiteral("text-x-generic"));
    cache.emplace(key, icon);
    return icon;
}

size_t QtResultList::AppendTexts(const std::vector<std::string>& cells, uintptr_t data)
{
    return on_ui(m_view, [&] {
        auto* it = new QTreeWidgetItem;
        it->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        for (size_t c = 0; c < cells.size(); ++c) {
            it->setText(int(c), qs(cells[c]));
            it->setTextAlignment(int(c), Qt::AlignCenter);
        }
        if (!cells.empty())
            it->setIcon(0, IconForName(cells[0]));
        it->setData(0, kDataRole, qulonglong(data));
        it->setData(0, kCheckRole, kUnchecked);
        apply_check(it);
        m_view->addTopLevelItem(it);
        return size_t(m_view->topLevelItemCount() - 1);
    });
}

size_t QtResultList::AppendRow(const std::string& name, const std::string& size, const std::string& time,
                               uintptr_t data)
{
    return AppendTexts({name, size, time}, data);
}

void QtResultList::DeleteRow(size_t row)
{
    on_ui(m_view, [&] { delete row_item(row); });
}

void QtResultList::Clear()
{
    on_ui(m_view, [&] { m_view->clear(); });
}

size_t QtResultList::RowCount() const
{
    return on_ui(m_view, [&] { return size_t(m_view->topLevelItemCount()); });
}

std::string QtResultList::Text(size_t row, int column) const
{
    return on_ui(m_view, [&] {
        QTreeWidgetItem* it = row_item(row);
        return it && column >= 0 ? narrow(it->text(column)) : std::string();
    });
}

int QtResultList::CheckState(size_t row) const
{
    return on_ui(m_view, [&] { return check_of(row_item(row)); });
}

void QtResultList::SetCheckState(size_t row, int state)
{
    on_ui(m_view, [&] { set_check(row_item(row), state, m_check_boxes); });
}

uintptr_t QtResultList::ItemData(size_t row) const
{
    return on_ui(m_view, [&] { return data_of(row_item(row)); });
}

void QtResultList::SetCheckBoxes(bool on)
{
    on_ui(m_view, [&] {
        m_check_boxes = on;
        for (int i = 0; i < m_view->topLevelItemCount(); ++i)
            apply_check(m_view->topLevelItem(i));
    });
}

void QtResultList::SetGridLines(bool on)
{
    on_ui(m_view, [&] { m_view->set_grid_lines(on); });
}

void QtResultList::SetColumns(const std::vector<std::pair<std::string, int>>& header_and_width)
{
    on_ui(m_view, [&] {
        m_view->clear();
        QStringList labels;
        for (const auto& [text, width] : header_and_width)
            labels << qs(text);
        m_view->setColumnCount(int(labels.size()));
        m_view->setHeaderLabels(labels);
        m_view->header()->setDefaultAlignment(Qt::AlignCenter);
        for (size_t c = 0; c < header_and_width.size(); ++c)
            m_view->setColumnWidth(int(c), header_and_width[c].second);
    });
}

void QtResultList::SetStandardColumns()
{
    SetColumns({{"File Name", 200}, {"Size", 150}, {"Time", 200}});
}

long QtResultList::SelectedRow() const
{
    return on_ui(m_view, [&] {
        const QList<QTreeWidgetItem*> selected = m_view->selectedItems();
        return selected.isEmpty() ? -1L : long(m_view->indexOfTopLevelItem(selected.front()));
    });
}

void QtResultList::SelectRow(long row)
{
    on_ui(m_view, [&] {
        QTreeWidgetItem* it = row >= 0 ? row_item(size_t(row)) : nullptr;
        if (!it) {
            m_view->clearSelection();
            return;
        }
        m_view->setCurrentItem(it);
        it->setSelected(true);
    });
}

QRect QtResultList::CheckBoxRect(size_t row) const
{
    return on_ui(m_view, [&] {
        QTreeWidgetItem* it = row_item(row);
        return it ? m_view->check_rect(m_view->indexFromItem(it, 0)) : QRect();
    });
}

void ApplyCheckRules(ScanSession& session, QtResultTree& tree, QtResultList& list)
{
    tree.on_check_click = [&session](NodeId node) { TreeCheckClick(session, node); };
    list.on_check_changed = [&session](size_t) { ListCheckChanged(session); };
}

} // namespace salvor
