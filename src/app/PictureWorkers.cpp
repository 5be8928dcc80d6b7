#include "app/PictureWorkers.h"

#include <chrono>

namespace b2d {

PictureWorkers::PictureWorkers(int threads, const std::vector<StandardTag>* standardTags, ImageHandler* handler)
    : m_standardTags(standardTags), m_handler(handler)
{
    m_pool.setMaxThreadCount(std::max(1, threads));
    // A picture can take seconds; its thread need not be made again for the next.
    m_pool.setExpiryTimeout(-1);
}

PictureWorkers::~PictureWorkers()
{
    dropAll({});
}

void PictureWorkers::start(const std::shared_ptr<PictureJob>& job)
{
    std::erase_if(m_started, [](const std::weak_ptr<PictureJob>& j) { return j.expired(); });
    m_started.push_back(job);
    m_pool.start([job, tags = m_standardTags, handler = m_handler] {
        if (!job->m_dropped.load()) {
            ConversionContext context;
            context.standardTags = tags;
            context.handler = handler;
            context.clinic = [&job = *job](const QDateTime&, int, const QString& field) -> std::optional<QString> {
                const auto name = job.clinicNames.find(field);
                return name == job.clinicNames.end() ? std::nullopt : name->second;
            };
            prepareDicom(job->in, job->rows, context, job->prepared);
        }
        job->m_promise.set_value();
    });
}

void PictureWorkers::wait(const PictureJob& job, const std::function<void()>& tick)
{
    while (job.m_done.wait_for(std::chrono::milliseconds(tick ? 40 : 1000)) != std::future_status::ready)
        if (tick)
            tick();
}

void PictureWorkers::dropAll(const std::function<void()>& tick)
{
    for (const std::weak_ptr<PictureJob>& j : m_started)
        if (auto job = j.lock())
            job->m_dropped = true;
    for (const std::weak_ptr<PictureJob>& j : m_started)
        if (auto job = j.lock())
            wait(*job, tick);
    m_started.clear();
    m_pool.waitForDone();
}

} // namespace b2d
