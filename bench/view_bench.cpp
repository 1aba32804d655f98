// Benchmark of the main window's picture view on a synthetic photograph: the one-time
// preparation of its reduced copies, and repaints of the whole view at every zoom step,
// without and with the focus area's tint drawn from a depth mask of the picture's size,
// with the memory the view holds beside the picture.
//
//   view_bench [--quick] [--repeat N] [--picture WxH] [--view WxH] [--live]
//
// --live times the live preview in the main window instead: from a confirmed change to
// the new result on screen, fitted to the window (approximate) and at actual size (exact),
// on a 24-megapixel picture with depth of field and a 31-pixel diaphragm: the first change
// after the zoom, the median and the largest of the others, and the longest the window's
// thread was kept busy meanwhile.
//
// The picture is 12248 x 8165 (100 megapixels) and the view 1920 x 1080 unless given;
// --quick runs a 2000 x 1500 picture with one repaint a step (a check that everything runs,
// used by the test script). It uses Qt's offscreen platform unless QT_QPA_PLATFORM names
// another.
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "defocus/defocus.h"
#include "image/dib24.h"
#include "ui/Unit1.h"
#include "ui/Unit2.h"
#include "ui/focus_area.h"
#include "ui/picture_view.h"
#include "ui/zoomed_drawing.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Smooth colour gradients with light noise, like a photograph of a lit scene.
std::unique_ptr<dib24> photograph(int width, int height) {
    auto picture = std::make_unique<dib24>(width, height);
    if (!picture->bits) return nullptr;
    std::uint32_t noise = 20261207;
    for (int r = 0; r < height; ++r) {
        std::uint8_t* row = picture->bits + static_cast<std::ptrdiff_t>(r) * picture->stride;
        const int v = r * 160 / height;
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int n = static_cast<int>(noise >> 29);  // 0 ... 7
            const int u = x * 200 / width;
            row[3 * x] = static_cast<std::uint8_t>(40 + u / 2 + n);
            row[3 * x + 1] = static_cast<std::uint8_t>(30 + v + n);
            row[3 * x + 2] = static_cast<std::uint8_t>(60 + (u + v) / 3 + n);
        }
    }
    return picture;
}

// Depth that falls from the bottom row to the top, with objects standing out in columns
// and light noise, so the depths in focus form bands and edges, as in a real scene.
std::unique_ptr<dib24> depthMask(int width, int height) {
    auto mask = std::make_unique<dib24>(width, height);
    if (!mask->bits) return nullptr;
    std::uint32_t noise = 7;
    for (int r = 0; r < height; ++r) {
        std::uint8_t* row = mask->bits + static_cast<std::ptrdiff_t>(r) * mask->stride;
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int object = (x / (width / 16 + 1)) % 3 == 1 ? 60 : 0;
            const int depth = 255 * r / height - object + static_cast<int>(noise >> 30);
            const auto byte = static_cast<std::uint8_t>(std::clamp(depth, 0, 255));
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = byte;
        }
    }
    return mask;
}

bool parseSize(const char* text, int* width, int* height) {
    return std::sscanf(text, "%dx%d", width, height) == 2 && *width > 0 && *height > 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The live preview's case: the main window with the settings window, the view made
// `viewWidth` x `viewHeight`, a change confirmed `repeat` times at each zoom.
int benchLivePreview(std::unique_ptr<dib24> picture, std::unique_ptr<dib24> mask, int viewWidth,
                     int viewHeight, int repeat) {
    // A hard disc of 31 pixels, the diaphragm the settings window starts with.
    const int size = 31;
    auto disc = std::make_unique<dib24>(size, size);
    for (int r = 0; r < size; ++r)
        for (int x = 0; x < size; ++x) {
            const double dx = x + 0.5 - size / 2.0, dy = r + 0.5 - size / 2.0;
            const std::uint8_t byte = std::hypot(dx, dy) <= size / 2.0 ? 255 : 0;
            std::memset(disc->bits + std::ptrdiff_t(r) * disc->stride + 3 * x, byte, 3);
        }
    const std::string discPath = "/tmp/view_bench_disc_" + std::to_string(getpid()) + ".bmp";
    std::FILE* file = std::fopen(discPath.c_str(), "wb");
    const bool saved = file && disc->saveToFile(file);
    if (file) std::fclose(file);
    if (!saved) {
        std::fprintf(stderr, "view_bench: cannot write %s\n", discPath.c_str());
        return 1;
    }
    TForm1 form1;
    TForm2 form2(form1, {discPath});
    std::remove(discPath.c_str());
    form1.show();
    QCoreApplication::processEvents();
    const int width = picture->width, height = picture->height;
    form1.installImage(std::move(picture));
    QCoreApplication::processEvents();
    // The window grows until its viewport, between the scroll bars of the picture at
    // actual size, has the view's size.
    const QSize viewport = form1.ScrollBox1->viewport()->size();
    form1.resize(form1.size() + QSize(viewWidth, viewHeight) - viewport);
    QCoreApplication::processEvents();
    form2.setDepthMask(std::move(mask));
    form2.Edit2->setText("128");
    form2.Edit3->setText("2");
    form2.CheckBoxDOF->setChecked(true);
    QCoreApplication::processEvents();
    std::printf("Live preview: %d x %d (%.1f MP) with depth of field, a %d-pixel diaphragm\n",
                width, height, width * double(height) / 1e6, size);

    // The longest time between two ticks of a timer that wants to run every millisecond:
    // how long the window's thread was kept from its events.
    QTimer tick;
    tick.setInterval(1);
    Clock::time_point lastTick = Clock::now();
    double longestBusy = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestBusy = std::max(longestBusy, millisecondsSince(lastTick));
        lastTick = Clock::now();
    });
    LivePreview& preview = *form1.livePreview;
    // From a confirmed box to the new result on screen.
    auto timeChange = [&](int threshold) {
        const dib24* before = preview.shownPart();
        form2.Edit2->setText(QString::number(threshold));
        const Clock::time_point start = Clock::now();
        lastTick = start;
        form2.validateParameters();
        while (preview.shownPart() == before || preview.rendering() || preview.due())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        // On screen means painted: the repaint that shows it counts.
        form1.PaintBox1->repaint();
        return millisecondsSince(start);
    };
    tick.start();
    form1.LivepreviewL1->setChecked(true);
    std::printf("%-22s %11s %9s %10s %10s %12s\n", "", "view", "first ms", "median ms", "max ms",
                "busiest ms");
    for (const bool fitted : {true, false}) {
        if (fitted) {
            form1.FittowindowF1->trigger();
        } else {
            form1.ActualsizeA1->trigger();
            form1.ScrollBox1->horizontalScrollBar()->setValue(
                form1.ScrollBox1->horizontalScrollBar()->maximum() / 2);
            form1.ScrollBox1->verticalScrollBar()->setValue(
                form1.ScrollBox1->verticalScrollBar()->maximum() / 2);
        }
        // The view makes its reduced copies of the picture at its first repaint; the first
        // result after the zoom makes the live preview's copies of the depth mask.
        form1.PaintBox1->repaint();
        longestBusy = 0;
        const double first = timeChange(127);
        std::vector<double> times;
        for (int i = 0; i < repeat; ++i) times.push_back(timeChange(i % 2 ? 128 : 129));
        const QString text = form1.StatusBar1->currentMessage();
        const QSize shown = form1.ScrollBox1->viewport()->size();
        const QString view = QStringLiteral("%1 x %2").arg(shown.width()).arg(shown.height());
        std::printf("%-22s %11s %9.0f %10.0f %10.0f %12.0f  %s\n",
                    fitted ? "fitted (approximate)" : "actual size (exact)",
                    view.toUtf8().constData(), first, median(times),
                    *std::max_element(times.begin(), times.end()), longestBusy,
                    text.toUtf8().constData());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int pictureWidth = 12248, pictureHeight = 8165, viewWidth = 1920, viewHeight = 1080;
    int repeat = 7;
    bool live = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--live") {
            live = true;
            pictureWidth = 6000;
            pictureHeight = 4000;
        } else if (arg == "--quick") {
            pictureWidth = 2000;
            pictureHeight = 1500;
            repeat = 1;
        } else if (arg == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--picture" && i + 1 < argc &&
                   parseSize(argv[i + 1], &pictureWidth, &pictureHeight)) {
            ++i;
        } else if (arg == "--view" && i + 1 < argc &&
                   parseSize(argv[i + 1], &viewWidth, &viewHeight)) {
            ++i;
        } else {
            std::fprintf(stderr,
                         "usage: view_bench [--quick] [--repeat N] [--picture WxH] [--view WxH] "
                         "[--live]\n");
            return 2;
        }
    }

    if (live) {
        std::unique_ptr<dib24> photo = photograph(pictureWidth, pictureHeight);
        std::unique_ptr<dib24> mask = depthMask(pictureWidth, pictureHeight);
        if (!photo || !mask) {
            std::fprintf(stderr, "view_bench: no memory for the picture and its depth mask\n");
            return 1;
        }
        return benchLivePreview(std::move(photo), std::move(mask), viewWidth, viewHeight, repeat);
    }
    const std::unique_ptr<dib24> picture = photograph(pictureWidth, pictureHeight);
    if (!picture) {
        std::fprintf(stderr, "view_bench: no memory for a %d x %d picture\n", pictureWidth,
                     pictureHeight);
        return 1;
    }
    const double megapixels = double(pictureWidth) * pictureHeight / 1e6;
    std::printf("Picture %d x %d (%.1f MP, %.0f MiB), view %d x %d, %d repaints a step\n",
                pictureWidth, pictureHeight, megapixels, picture->pixelBytes() / 1048576.0,
                viewWidth, viewHeight, repeat);

    // The preparation the view makes the first time it zooms out, timed on its own.
    {
        ReducedCopies copies;
        const Clock::time_point start = Clock::now();
        copies.make(rowsOf(*picture), -PictureView::kSmallestStep / 2, picture->pixelBytes() / 3);
        std::printf("reduced copies: %d made in %.0f ms, %.1f MiB = %.3f of the picture\n",
                    copies.count(), millisecondsSince(start), copies.bytes() / 1048576.0,
                    double(copies.bytes()) / picture->pixelBytes());
    }

    QScrollArea area;
    auto* view = new PictureView;
    area.setWidget(view);
    view->setScrollArea(&area);
    area.resize(viewWidth, viewHeight);
    area.show();
    QCoreApplication::processEvents();
    view->setPicture(picture.get());
    QCoreApplication::processEvents();

    // The focus area as the settings window shows it: the depths near the middle of the
    // scale in focus with the default diaphragm's width.
    const std::unique_ptr<dib24> mask = depthMask(pictureWidth, pictureHeight);
    if (!mask) {
        std::fprintf(stderr, "view_bench: no memory for the depth mask\n");
        return 1;
    }
    DofSettings dof;
    dof.threshold = 128;
    dof.distScaling = 2.0;
    dof.focusRange = 20;
    FocusArea focusArea;
    focusArea.setMask(mask.get());
    focusArea.setDepths(depthsInFocus(dof, 15));
    const PictureView::Overlay tint = [&](QPainter& painter, const QRect& pixels) {
        focusArea.paintOnView(painter, *view, pixels);
    };

    // A repaint of everything the view shows, painted and handed to the window system:
    // the first one's time, the median and the largest of `repeat` more.
    auto timeRepaints = [&](double* first, double* mid, double* most) {
        Clock::time_point start = Clock::now();
        view->repaint();
        *first = millisecondsSince(start);
        std::vector<double> times;
        for (int i = 0; i < repeat; ++i) {
            start = Clock::now();
            view->repaint();
            times.push_back(millisecondsSince(start));
        }
        *mid = median(times);
        *most = *std::max_element(times.begin(), times.end());
    };

    std::printf("%5s %9s %10s %10s %10s %10s %10s\n", "step", "zoom", "first ms", "median ms",
                "max ms", "tinted med", "tinted max");
    double worst = 0, worstTinted = 0, firstTinted = 0;
    for (int step = PictureView::kSmallestStep; step <= PictureView::kLargestStep; ++step) {
        view->zoomTo(step);
        // The middle of the picture, where it fills the view.
        area.horizontalScrollBar()->setValue(area.horizontalScrollBar()->maximum() / 2);
        area.verticalScrollBar()->setValue(area.verticalScrollBar()->maximum() / 2);
        QCoreApplication::processEvents();
        double first, mid, most, tintFirst, tintMid, tintMost;
        timeRepaints(&first, &mid, &most);
        view->setOverlay(tint);
        timeRepaints(&tintFirst, &tintMid, &tintMost);
        view->setOverlay({});
        worst = std::max(worst, most);
        // The first tinted repaint zoomed out far enough makes the samples.
        if (firstTinted == 0 && focusArea.bytes() > 0) firstTinted = tintFirst;
        worstTinted = std::max(worstTinted, tintMost);
        std::printf("%5d %9.4f %10.2f %10.2f %10.2f %10.2f %10.2f\n", step, view->zoom(), first,
                    mid, most, tintMid, tintMost);
    }
    std::printf("slowest repaint %.2f ms, with the focus area %.2f ms (its first one %.0f ms)\n",
                worst, worstTinted, firstTinted);
    std::printf(
        "view memory beside the picture %.1f MiB = %.3f of it; the focus area's "
        "samples %.1f MiB = %.3f of the mask\n",
        view->drawingBytes() / 1048576.0, double(view->drawingBytes()) / picture->pixelBytes(),
        focusArea.bytes() / 1048576.0, double(focusArea.bytes()) / mask->pixelBytes());
    return 0;
}
