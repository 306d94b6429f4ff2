// The search of the result workbook written for a model file.
#include "datareader/tablemine/tablemine.hpp"

#include "datareader/tablemine/native/book.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace mine {
namespace {

// Whether a candidate is read at all: a workbook by its name.
bool readable_candidate(handle path) { return is_workbook_type(extension_of(path)); }

// The "Model file" value of a candidate's property sheet, or an invalid
// object when the candidate is no readable result workbook.  `opened`: its
// book as the pool opened it.
object model_file_of(handle path, const native::Settings &settings, native::Opened *opened) {
    if (!readable_candidate(path)) return object();
    // Outside the guard: a missing pandas is the caller's problem, not the
    // candidate's.
    pandas_attr("read_excel");
    // A data workbook named like the model, a damaged file, a sheet without
    // the property table: not the workbook looked for.
    return pyutil::unless_exception(
        [&] {
            PropertyColumns table =
                read_property_columns(path, pyutil::text("Utilities"), settings, opened);
            return property_value(table, nb::str("Model file"));
        },
        [](nb::python_error &) { return object(); });
}

// The candidates' books (central directory, workbook part, styles, shared
// strings) opened by a few threads, a few candidates ahead of the one the
// search reads, so that the search waits on one book at a time instead of
// opening each in turn.  The candidates are still read and compared in
// their order, each as a read of its own would read it: the answer is the
// same.  Saves the books' opening on all but one core: the search rows of
// `make bench`.
class BookPool {
public:
    // `paths[i]`: candidate i's file, none for one the search does not read
    // natively; opened with the search's `settings`.
    BookPool(std::vector<std::optional<std::string>> paths, const native::Settings &settings)
        : m_settings(settings), m_slots(paths.size()) {
        for (std::size_t i = 0; i < paths.size(); ++i) m_slots[i].path = std::move(paths[i]);
        std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
        std::size_t threads = std::min(cores, m_slots.size());
        m_window = 2 * threads;
        try {
            for (std::size_t t = 0; t < threads; ++t) m_threads.emplace_back([this] { work(); });
        } catch (std::system_error &) {
            // no more threads: those started do the work, or, without one,
            // each read opens its book itself
        }
    }

    ~BookPool() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        for (std::thread &t : m_threads) t.join();
    }

    BookPool(const BookPool &) = delete;
    BookPool &operator=(const BookPool &) = delete;

    // Candidate i's book once opened, waited for without the GIL (Ctrl-C
    // heard); null for a candidate without a file.  The books before it are
    // closed.
    native::Opened *take(std::size_t i) {
        if (m_threads.empty()) return nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_taken = i;
            for (std::size_t k = 0; k < i; ++k) m_slots[k].opened.book.reset();
        }
        m_changed.notify_all();
        pyutil::without_gil([&] {
            std::unique_lock<std::mutex> lock(m_mutex);
            while (!m_slots[i].ready) {
                m_changed.wait_for(lock, pace::kInterval);
                lock.unlock();
                pace::poll();
                lock.lock();
            }
        });
        return m_slots[i].path ? &m_slots[i].opened : nullptr;
    }

private:
    struct Slot {
        std::optional<std::string> path;
        native::Opened opened;
        bool ready = false;
    };

    // A worker stops as soon as the search has its answer or fails.
    struct StopWatch : pace::Watch {
        explicit StopWatch(const std::atomic<bool> &stop) : stop_flag(stop) {}
        bool stop() override { return stop_flag; }
        const std::atomic<bool> &stop_flag;
    };

    void work() {
        StopWatch watch(m_stop);
        for (;;) {
            std::size_t i;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [&] {
                    return m_stop || m_next >= m_slots.size() || m_next < m_taken + m_window;
                });
                if (m_stop || m_next >= m_slots.size()) return;
                i = m_next++;
            }
            Slot &slot = m_slots[i];
            if (slot.path) {
                try {
                    slot.opened.book.emplace(*slot.path, m_settings);
                } catch (pace::Stopped &) {
                    return;
                } catch (...) {
                    slot.opened.error = std::current_exception();
                }
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                slot.ready = true;
            }
            m_changed.notify_all();
        }
    }

    const native::Settings m_settings;
    std::vector<Slot> m_slots;
    std::size_t m_window = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_next = 0, m_taken = 0;  // under m_mutex
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

}  // namespace

Str searchExcelFile(AnyPath nnxfile) {
    check_file_argument("searchExcelFile", "nnxfile", nnxfile, false);
    const native::Settings settings = read_settings();
    object os = pyutil::module_attr("os");
    object path = os.attr("path");
    // As text: the workbook records the model file as text, and the names the
    // folder walk gives are compared with text (a pathlib.Path equals no
    // text, and bytes would fail at the first comparison).
    object model_file = os.attr("fsdecode")(nnxfile);
    std::vector<object> parts = pyutil::unpack(path.attr("split")(model_file), 2);
    object folder = parts[0];
    object base = path.attr("splitext")(parts[1])[nb::int_(0)];

    // An index group "(n)" closes the base name of a numbered model file;
    // the workbook is named after what comes before it.
    object stem = base;
    if (pyutil::truthy(base.attr("endswith")(")"))) {
        object open = pyutil::text("(");
        if (pyutil::contains(base, open)) {
            object cut = base.attr("index")(open);
            object head = pyutil::steal(PySlice_New(nullptr, cut.ptr(), nullptr));
            stem = base[head];
        }
    }

    // A bare file name lives in the current folder.  A folder that cannot
    // be listed holds no workbook.
    object top = pyutil::truthy(folder) ? folder : os.attr("curdir");
    object walk = os.attr("walk")(top);
    PyObject *first = PyIter_Next(walk.ptr());
    if (!first) {
        if (PyErr_Occurred()) pyutil::raise_pending();
        return pyutil::text("");
    }
    object entry = nb::steal(first);
    object names = entry[nb::int_(2)];

    std::vector<object> candidates;
    std::vector<std::optional<std::string>> files;
    for (handle name : names) {
        if (!pyutil::truthy(name.attr("endswith")("xlsx")) &&
            !pyutil::truthy(name.attr("endswith")("xlsm")))
            continue;
        if (!pyutil::truthy(name.attr("startswith")(stem))) continue;
        candidates.push_back(path.attr("join")(folder, name));
        files.push_back(readable_candidate(candidates.back()) ? native_path(candidates.back())
                                                              : std::nullopt);
    }
    BookPool pool(std::move(files), settings);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        object model = model_file_of(candidates[i], settings, pool.take(i));
        if (model.is_valid() && model.equal(model_file)) return candidates[i];
    }
    return pyutil::text("");
}

}  // namespace mine
