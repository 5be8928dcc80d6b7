#pragma once

#include "dicom/uDicom.h"

#include <QThreadPool>

#include <atomic>
#include <functional>
#include <map>
#include <future>
#include <memory>
#include <optional>
#include <vector>

namespace b2d {

// One picture made ready for its store on a worker thread: loaded, shrunk, made grey, its
// object built and encoded. Everything it needs from the database is read beforehand, on the
// main thread.
struct PictureJob {
    ConvertInput in;
    PictureRows rows;
    // The register's clinic names on the picture's date, by field (KLINIKNAMN, TRKLINIKNAMN),
    // read for the fields the standard tags ask for.
    std::map<QString, std::optional<QString>> clinicNames;

    PreparedDicom prepared; // the result, once PictureWorkers::wait has returned

private:
    friend class PictureWorkers;
    std::atomic<bool> m_dropped{false};
    std::promise<void> m_promise;
    std::shared_future<void> m_done = m_promise.get_future().share();
};

// The worker threads of a run. The main thread hands them pictures in order, takes each back
// in the same order when its turn comes, and stores it; pictures handed over but no longer
// wanted (the run was stopped) are dropped: those not begun are never worked on.
class PictureWorkers {
public:
    // standardTags and handler must outlive the workers.
    PictureWorkers(int threads, const std::vector<StandardTag>* standardTags, ImageHandler* handler);
    // Drops what is left and waits for the pictures being worked on.
    ~PictureWorkers();
    PictureWorkers(const PictureWorkers&) = delete;
    PictureWorkers& operator=(const PictureWorkers&) = delete;

    void start(const std::shared_ptr<PictureJob>& job);
    // Waits until job is ready, calling tick every few tens of milliseconds meanwhile (the
    // window stays responsive during a long picture).
    static void wait(const PictureJob& job, const std::function<void()>& tick);
    // Drops every picture not yet begun and waits for those being worked on, with tick.
    void dropAll(const std::function<void()>& tick);

private:
    QThreadPool m_pool;
    const std::vector<StandardTag>* m_standardTags;
    ImageHandler* m_handler;
    std::vector<std::weak_ptr<PictureJob>> m_started;
};

} // namespace b2d
