// Client security: a context captured from a caller's thread, impersonated by a system thread,
// opens host files with the caller's rights (the tests run as root).
#include <sys/stat.h>
#include <unistd.h>

#include "kernel_fixture.h"

namespace hl::kernel::testing {
namespace {

class SecurityTest : public KernelTest {
protected:
    SECURITY_CLIENT_CONTEXT Capture(const CallerIdentity& who,
                                    SECURITY_IMPERSONATION_LEVEL level = SecurityImpersonation) {
        SECURITY_CLIENT_CONTEXT context{};
        ScopedCaller caller(who);
        SECURITY_QUALITY_OF_SERVICE qos{sizeof(SECURITY_QUALITY_OF_SERVICE), level,
                                        SECURITY_STATIC_TRACKING, FALSE};
        EXPECT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &context),
                  STATUS_SUCCESS);
        return context;
    }

    void HostFile(const std::string& name, uid_t owner, gid_t group, mode_t mode) {
        WriteHostFile(name, "secret");
        ASSERT_EQ(chown((drive_ / name).c_str(), owner, group), 0);
        ASSERT_EQ(chmod((drive_ / name).c_str(), mode), 0);
    }
};

// What a driver's worker does: impersonate, open, revert.
struct WorkerJob {
    SECURITY_CLIENT_CONTEXT* context;
    std::u16string name;
    ULONG disposition = FILE_OPEN;
    NTSTATUS impersonated = STATUS_UNSUCCESSFUL;
    NTSTATUS reverted = STATUS_UNSUCCESSFUL;
    KEVENT* ready = nullptr;  // optional: signalled while impersonating...
    KEVENT* go = nullptr;     // ...and waited for before reverting
};

NTSTATUS OpenAs(const std::u16string& path, ULONG disposition) {
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    NTSTATUS status =
        ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &object, &io, nullptr,
                     FILE_ATTRIBUTE_NORMAL, 0, disposition,
                     FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS | FILE_NO_INTERMEDIATE_BUFFERING |
                         FILE_SYNCHRONOUS_IO_NONALERT,
                     nullptr, 0);
    if (NT_SUCCESS(status)) {
        ZwClose(handle);
    }
    return status;
}

VOID Work(PVOID context) {
    auto* job = static_cast<WorkerJob*>(context);
    SeImpersonateClient(job->context, nullptr);
    job->impersonated = OpenAs(job->name, job->disposition);
    if (job->ready) {
        KeSetEvent(job->ready, 0, FALSE);
        KeWaitForSingleObject(job->go, Executive, KernelMode, FALSE, nullptr);
    }
    PsRevertToSelf();
    job->reverted = OpenAs(job->name, FILE_OPEN);
}

void RunWorker(WorkerJob& job) {
    HANDLE handle = nullptr;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Work, &job),
        STATUS_SUCCESS);
    ASSERT_EQ(ZwWaitForSingleObject(handle, FALSE, nullptr), STATUS_SUCCESS);
    ZwClose(handle);
}

TEST_F(SecurityTest, ImpersonatedOpenHasTheClientsRights) {
    HostFile("owned.vd", 1000, 1000, 0600);
    HostFile("grouped.vd", 0, 2000, 0060);
    struct Case {
        std::u16string file;
        CallerIdentity who;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"\\??\\C:\\owned.vd", {1000, 1000, {}}, STATUS_SUCCESS},
        {u"\\??\\C:\\owned.vd", {1001, 1001, {}}, STATUS_ACCESS_DENIED},
        {u"\\??\\C:\\owned.vd", {1001, 1000, {}}, STATUS_ACCESS_DENIED},
        {u"\\??\\C:\\grouped.vd", {1001, 1001, {2000}}, STATUS_SUCCESS},
        {u"\\??\\C:\\grouped.vd", {1001, 1001, {3000}}, STATUS_ACCESS_DENIED},
        {u"\\??\\C:\\grouped.vd", {1001, 2000, {}}, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SECURITY_CLIENT_CONTEXT context = Capture(c.who);
        WorkerJob job{&context, c.file};
        RunWorker(job);
        EXPECT_EQ(job.impersonated, c.status) << "uid " << c.who.uid;
        EXPECT_EQ(job.reverted, STATUS_SUCCESS) << "revert gives the system's rights back";
        SeDeleteClientSecurity(&context);
    }
    EXPECT_TRUE(kernel_->Diagnostics().empty());
}

TEST_F(SecurityTest, FilesCreatedWhileImpersonatingBelongToTheClient) {
    std::filesystem::create_directories(drive_ / "public");
    chmod((drive_ / "public").c_str(), 0777);
    SECURITY_CLIENT_CONTEXT context = Capture({1000, 1000, {}});
    WorkerJob job{&context, u"\\??\\C:\\public\\new.vd", FILE_CREATE};
    RunWorker(job);
    EXPECT_EQ(job.impersonated, STATUS_SUCCESS);
    struct stat st {};
    ASSERT_EQ(stat((drive_ / "public/new.vd").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1000u);
    EXPECT_EQ(st.st_gid, 1000u);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "private to the user who created it";
    SeDeleteClientSecurity(&context);
}

TEST_F(SecurityTest, ImpersonationChangesOnlyTheImpersonatingThread) {
    HostFile("root.vd", 0, 0, 0600);
    HostFile("owned.vd", 1000, 1000, 0600);
    SECURITY_CLIENT_CONTEXT context = Capture({1000, 1000, {}});
    KEVENT ready, go;
    KeInitializeEvent(&ready, NotificationEvent, FALSE);
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    WorkerJob job{&context, u"\\??\\C:\\owned.vd"};
    job.ready = &ready;
    job.go = &go;
    HANDLE handle = nullptr;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Work, &job),
        STATUS_SUCCESS);
    KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(OpenAs(u"\\??\\C:\\root.vd", FILE_OPEN), STATUS_SUCCESS);  // still root here
    KeSetEvent(&go, 0, FALSE);
    ZwWaitForSingleObject(handle, FALSE, nullptr);
    ZwClose(handle);
    EXPECT_EQ(job.impersonated, STATUS_SUCCESS);
    SeDeleteClientSecurity(&context);
}

TEST_F(SecurityTest, IdentificationLevelCannotOpenFiles) {
    HostFile("owned.vd", 1000, 1000, 0600);
    SECURITY_CLIENT_CONTEXT context = Capture({1000, 1000, {}}, SecurityIdentification);
    WorkerJob job{&context, u"\\??\\C:\\owned.vd"};
    RunWorker(job);
    EXPECT_EQ(job.impersonated, STATUS_BAD_IMPERSONATION_LEVEL);
    SeDeleteClientSecurity(&context);
    EXPECT_EQ(kernel_->OpenHandles(), 0u);
}

// The variant that reports its result: a refusal leaves the thread as it was, with the
// system's rights, so a driver that checks the result opens nothing on the client's behalf.
struct ReportingJob {
    SECURITY_CLIENT_CONTEXT* context;
    NTSTATUS impersonated = STATUS_PENDING;
    NTSTATUS opened = STATUS_PENDING;
};

VOID ReportingWork(PVOID context) {
    auto* job = static_cast<ReportingJob*>(context);
    job->impersonated = SeImpersonateClientEx(job->context, nullptr);
    job->opened = OpenAs(u"\\??\\C:\\root.vd", FILE_OPEN);
    PsRevertToSelf();
}

TEST_F(SecurityTest, ImpersonationReportsARefusal) {
    HostFile("root.vd", 0, 0, 0600);
    struct Case {
        const char* what;
        bool refused;
        NTSTATUS impersonated;
        NTSTATUS opened;
    };
    const Case cases[] = {
        {"granted", false, STATUS_SUCCESS, STATUS_ACCESS_DENIED},
        {"refused", true, STATUS_NO_MEMORY, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SECURITY_CLIENT_CONTEXT context = Capture({1000, 1000, {}});
        if (c.refused) {
            kernel_->faults().impersonation.FailNth(1, STATUS_NO_MEMORY);
        }
        ReportingJob job{&context};
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       ReportingWork, &job),
                  STATUS_SUCCESS);
        ASSERT_EQ(ZwWaitForSingleObject(handle, FALSE, nullptr), STATUS_SUCCESS);
        ZwClose(handle);
        kernel_->faults().impersonation.Clear();
        EXPECT_EQ(job.impersonated, c.impersonated);
        EXPECT_EQ(job.opened, c.opened);
        SeDeleteClientSecurity(&context);
    }
}

}  // namespace
}  // namespace hl::kernel::testing
