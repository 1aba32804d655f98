#include "ui/fit_text.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>
#include <algorithm>
#include <map>
#include <set>
#include <vector>

namespace {

// A label's text keeps at least this distance from the control it names.
constexpr int kLabelGap = 6;
// A gap between neighbouring controls may shrink to this when one of them grows.
constexpr int kMinimumGap = 2;

// One control as seen along one axis (x or y).
struct AxisItem {
    int start = 0;  // position in the layout
    int end = 0;    // far edge in the layout
    int need = 0;   // the size its content needs
    // A label along its line of text: it has no edge of its own there, its size is its
    // text's, and it must end before the control it names (or the container's edge).
    bool textOnly = false;
    int acrossStart = 0;   // its span on the other axis: items whose spans overlap there
    int acrossEnd = 0;     // are neighbours on this one
    int minimumStart = 0;  // lowest position allowed (below a group box's title)
    int follows = -1;      // an item whose start this one keeps its distance to, or -1
    bool fixed = false;    // never larger than it needs (a picture box)
};

// Point `to` of the axis must lie at least `distance` beyond point `from`.
struct Constraint {
    int from;
    int to;
    int distance;
};

struct AxisResult {
    std::vector<int> start;
    std::vector<int> size;
    int extent = 0;
};

bool overlapAcross(const AxisItem& a, const AxisItem& b) {
    return a.acrossStart < b.acrossEnd && b.acrossStart < a.acrossEnd;
}

// The neighbour that starts nearest after item i, or -1.
int nextNeighbour(const std::vector<AxisItem>& items, std::size_t i) {
    int best = -1;
    for (std::size_t j = 0; j < items.size(); ++j) {
        if (j == i || !overlapAcross(items[i], items[j]) || items[j].start <= items[i].start)
            continue;
        if (best < 0 || items[j].start < items[std::size_t(best)].start) best = int(j);
    }
    return best;
}

// Moves the points of one axis (every item's edges and the container's far edge) as
// little as possible, never backwards, until every item has the room it needs, neighbours
// keep a gap and the container keeps its margin. Items that shared an edge in the layout
// share the moved edge. Where the container is to be larger still (`target`, because its
// own container lines it up with others), the items along its far margin reach out to it.
AxisResult solveAxis(const std::vector<AxisItem>& items, int extent, int target) {
    std::map<int, int> position{{0, 0}, {extent, extent}};
    for (const AxisItem& item : items) {
        position.emplace(item.start, item.start);
        if (!item.textOnly) position.emplace(item.end, item.end);
    }

    // The container's margin is the narrowest one in the layout; an item that had more
    // room before the far edge may use up the rest when it grows.
    int margin = extent;
    for (const AxisItem& item : items)
        if (!item.textOnly && item.end <= extent) margin = std::min(margin, extent - item.end);

    std::vector<Constraint> constraints;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const AxisItem& a = items[i];
        constraints.push_back({0, a.start, a.minimumStart});
        if (a.follows >= 0) {
            const AxisItem& leader = items[std::size_t(a.follows)];
            constraints.push_back({leader.start, a.start, a.start - leader.start});
        }
        if (a.textOnly) {
            const int next = nextNeighbour(items, i);
            constraints.push_back(
                {a.start, next >= 0 ? items[std::size_t(next)].start : extent, a.need + kLabelGap});
            continue;
        }
        constraints.push_back({a.start, a.end, std::max(a.need, a.end - a.start)});
        constraints.push_back({a.end, extent, std::min(extent - a.end, margin)});
        for (const AxisItem& b : items) {
            if (&b != &a && overlapAcross(a, b) && b.start >= a.end)
                constraints.push_back({a.end, b.start, std::min(b.start - a.end, kMinimumGap)});
        }
    }
    // Every constraint leads from a point to a later one, so settling the points in order
    // settles each from points that are final already.
    std::erase_if(constraints, [](const Constraint& c) { return c.from >= c.to; });
    std::sort(constraints.begin(), constraints.end(),
              [](const Constraint& a, const Constraint& b) { return a.to < b.to; });
    for (const Constraint& c : constraints)
        position[c.to] = std::max(position[c.to], position[c.from] + c.distance);

    if (target > position[extent]) {
        const int stretch = target - position[extent];
        std::set<int> following{extent};
        for (const AxisItem& item : items) {
            if (!item.textOnly && !item.fixed && item.end <= extent && extent - item.end == margin)
                following.insert(item.end);
        }
        // An edge shared with a picture box stays, or the box would grow.
        for (const AxisItem& item : items)
            if (item.fixed) following.erase(item.end);
        for (const int point : following) position[point] += stretch;
    }

    AxisResult result;
    for (const AxisItem& item : items) {
        const int start = position[item.start];
        result.start.push_back(start);
        result.size.push_back(item.textOnly ? item.need : position[item.end] - start);
    }
    result.extent = position[extent];
    return result;
}

// The size a control needs for its content: controls without text keep their size from
// the layout (`laidOut`), and a container needs `contents`, the size its own controls need.
QSize neededSize(const QWidget* widget, QSize laidOut, QSize contents) {
    if (qobject_cast<const QLabel*>(widget)) return widget->sizeHint();
    if (qobject_cast<const QAbstractButton*>(widget)) return laidOut.expandedTo(widget->sizeHint());
    // A combo box's size hint has room for its longest item and the arrow.
    if (qobject_cast<const QComboBox*>(widget)) return laidOut.expandedTo(widget->sizeHint());
    // An edit box shows its whole text (longer texts scroll) and one line's height. Its
    // size hint is the room for 17 'x' plus frame and margins.
    if (const auto* edit = qobject_cast<const QLineEdit*>(widget)) {
        const QFontMetrics metrics = edit->fontMetrics();
        const int frameAndMargins =
            edit->sizeHint().width() - 17 * metrics.horizontalAdvance(QLatin1Char('x'));
        return laidOut.expandedTo(QSize(metrics.horizontalAdvance(edit->text()) + frameAndMargins,
                                        edit->sizeHint().height()));
    }
    if (qobject_cast<const QGroupBox*>(widget))
        return laidOut.expandedTo(contents).expandedTo(widget->minimumSizeHint());
    return laidOut.expandedTo(contents);
}

// Controls that show text, and group boxes, may be made larger than they need to line up
// with others; picture boxes and their frames keep their size.
bool stretchable(const QWidget* widget) {
    return qobject_cast<const QLabel*>(widget) || qobject_cast<const QAbstractButton*>(widget) ||
           qobject_cast<const QLineEdit*>(widget) || qobject_cast<const QComboBox*>(widget) ||
           qobject_cast<const QGroupBox*>(widget);
}

std::vector<QWidget*> controlsIn(const QWidget* container) {
    std::vector<QWidget*> controls;
    for (QWidget* child : container->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (!child->isWindow() && !child->isHidden()) controls.push_back(child);
    return controls;
}

class Fitter {
public:
    // Remembers the layout as it was drawn; every fitting starts from it.
    explicit Fitter(QWidget* window) { remember(window); }

    // Places the controls inside `container` (their own contents first) for a container of
    // at least `target` size, and returns the size the container needs. The container
    // itself is placed by its own container.
    QSize fit(QWidget* container, QSize target) {
        const std::vector<QWidget*> children = controlsIn(container);
        std::vector<QSize> needs;
        for (QWidget* child : children) {
            const QSize contents = controlsIn(child).empty() ? QSize() : fit(child, QSize());
            needs.push_back(neededSize(child, laidOut_[child].size(), contents));
        }

        std::vector<AxisItem> across;
        for (std::size_t i = 0; i < children.size(); ++i) {
            const QRect g = laidOut_[children[i]];
            const bool label = qobject_cast<const QLabel*>(children[i]) != nullptr;
            // Rows are the layout's: a taller text does not put a label into the next row.
            across.push_back({g.x(), g.right() + 1, needs[i].width(), label, g.y(), g.bottom() + 1,
                              0, -1, !stretchable(children[i])});
        }
        const QSize size = laidOut_[container].size();
        const AxisResult x = solveAxis(across, size.width(), target.width());

        // Inside a group box, controls start below the title and the top of the frame.
        const auto* box = qobject_cast<const QGroupBox*>(container);
        const int top = box ? box->contentsRect().top() : 0;
        std::vector<AxisItem> down;
        for (std::size_t i = 0; i < children.size(); ++i) {
            const QRect g = laidOut_[children[i]];
            // A label keeps its offset to the control it names.
            const int named = across[i].textOnly ? nextNeighbour(across, i) : -1;
            down.push_back({g.y(), g.bottom() + 1, needs[i].height(), false, x.start[i],
                            x.start[i] + x.size[i], top, named, across[i].fixed});
        }
        AxisResult y = solveAxis(down, size.height(), target.height());
        // A label is exactly as high as its text.
        for (std::size_t i = 0; i < children.size(); ++i)
            if (across[i].textOnly) y.size[i] = needs[i].height();

        for (std::size_t i = 0; i < children.size(); ++i) {
            const QRect placed(x.start[i], y.start[i], x.size[i], y.size[i]);
            children[i]->setGeometry(placed);
            // A container made larger than it needs, to line up with others, lays out
            // its contents again for its final size.
            if (!controlsIn(children[i]).empty() && placed.size() != needs[i])
                fit(children[i], placed.size());
        }
        QSize needed(x.extent, y.extent);
        if (box) needed = needed.expandedTo(box->minimumSizeHint());
        return needed;
    }

private:
    void remember(QWidget* widget) {
        laidOut_[widget] = widget->geometry();
        for (QWidget* child : controlsIn(widget)) remember(child);
    }

    std::map<const QWidget*, QRect> laidOut_;
};

}  // namespace

void growToFitText(QWidget* window) {
    Fitter fitter(window);
    window->setFixedSize(fitter.fit(window, QSize()));
}
