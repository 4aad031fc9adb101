// The native side of the Java class orvane.util.RepositoryHandler. Each method turns its Java
// strings into texts, calls one flat entry point inside a handler that catches every exception,
// turns the result back into Java values and frees whatever it obtained, on every path. A failure
// is logged with the method's message and reaches Java as null or -1, never as an exception.
#include "orvane_util_RepositoryHandler.h"

#include "JavaBindings.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "repositoryhandler.h"

#include <jni.h>
#include <utime.h>

namespace {

// The characters of a Java string for the duration of a call. A null string (which
// GetStringUTFChars must never see) has none, and shows as "(null)" in messages.
class JavaText {
public:
    JavaText(JNIEnv* env, jstring text)
        : env(env), text(text),
          chars(text != nullptr ? env->GetStringUTFChars(text, nullptr) : nullptr) {}
    ~JavaText() {
        if (chars != nullptr)
            env->ReleaseStringUTFChars(text, chars);
    }
    JavaText(const JavaText&) = delete;
    JavaText& operator=(const JavaText&) = delete;

    const char* get() const { return chars; }
    const char* shown() const { return chars != nullptr ? chars : "(null)"; }

private:
    JNIEnv* env;
    jstring text;
    const char* chars;
};

void logCaught(const char* message, const JavaText& repository) {
    rh_logger.errorLog(message, repository.shown());
}

void logCaught(const char* message, const JavaText& repository, const JavaText& resource) {
    rh_logger.errorLog(message, repository.shown(), resource.shown());
}

// Runs call when every text is there, catching every exception. false (and the method's message
// logged) when a text was missing or an exception was caught.
template <typename Call, typename... Texts>
bool guarded(const char* message, Call call, const Texts&... texts) {
    if (((texts.get() != nullptr) && ...)) {
        try {
            call();
            return true;
        } catch (...) {
            // Whatever it was, it stays on this side of the boundary.
        }
    }
    logCaught(message, texts...);
    return false;
}

// A Java String array of the count texts of list; the texts and the list are freed.
jobjectArray toJavaArray(JNIEnv* env, char** list, long count) {
    jstring empty = env->NewStringUTF("");
    jclass stringClass = empty != nullptr ? env->FindClass("java/lang/String") : nullptr;
    jobjectArray array = stringClass != nullptr
                             ? env->NewObjectArray(static_cast<jsize>(count), stringClass, empty)
                             : nullptr;
    for (long i = 0; i < count; ++i) {
        jstring element = array != nullptr ? newJavaString(env, list[i]) : nullptr;
        if (element != nullptr) {
            env->SetObjectArrayElement(array, static_cast<jsize>(i), element);
            env->DeleteLocalRef(element); // a long list must not exhaust the local references
        } else {
            array = nullptr; // the Java error of the failed allocation is pending
        }
        release(list[i]);
    }
    delete[] list;
    return array;
}

using ListCall = char** (*)(const char*, long*, bool);

// The frame of the two listing methods.
jobjectArray listNative(JNIEnv* env, jstring repository, jboolean sorted, const char* message,
                        ListCall call) {
    JavaText repo(env, repository);
    long count = 0;
    char** list = nullptr;
    if (!guarded(
            message, [&] { list = call(repo.get(), &count, sorted != JNI_FALSE); }, repo))
        return nullptr;
    // A listing that could not be completed (logged) reaches Java as null, like any failure.
    return list != nullptr ? toJavaArray(env, list, count) : nullptr;
}

using LocationCall = char* (*)(const char*, const char*, int*, bool);

// The frame of the three location methods: the status of the operation goes to the object's
// status field, unless the call failed.
jstring locate(JNIEnv* env, jobject self, jstring repository, jstring resource, bool skipDirty,
               const char* message, LocationCall call) {
    JavaText repo(env, repository), res(env, resource);
    // The operation leaves the status unwritten only when the resource's lock could not be had:
    // that is reported as such, not as 0, which would mean found and consistent.
    constexpr int kUnwritten = -1;
    int status = kUnwritten;
    char* location = nullptr;
    if (!guarded(
            message, [&] { location = call(repo.get(), res.get(), &status, skipDirty); }, repo,
            res))
        return nullptr;
    if (status == kUnwritten)
        status = location != nullptr ? 0 : 16;
    jstring result = location != nullptr ? newJavaString(env, location) : nullptr;
    bool converted = location == nullptr || result != nullptr;
    release(location);
    if (!converted)
        return nullptr; // out of memory: the pending error is the caller's answer
    setStatus(env, self, status);
    return result;
}

char* getLocationCall(const char* repository, const char* resource, int* status, bool) {
    return getLocation_(repository, resource, status);
}

} // namespace

void setStatus(JNIEnv* env, jobject object, jint value) {
    jclass type = env->GetObjectClass(object);
    jfieldID field = env->GetFieldID(type, "status", "I");
    if (field == nullptr)
        return; // the NoSuchFieldError stays pending for the Java side
    env->SetIntField(object, field, value);
    if (env->ExceptionOccurred() != nullptr) {
        rh_logger.errorLog("JNI error: could not set status");
        env->ExceptionClear();
    }
}

extern "C" {

JNIEXPORT void JNICALL Java_orvane_util_RepositoryHandler_setTimePropertiesNative(
    JNIEnv* env, jobject, jstring repository, jstring resource, jintArray times) {
    JavaText repo(env, repository), res(env, resource);
    const char* message = "An exception was caught in setTimeProperties_(%s, %s)";
    jint values[2] = {0, 0};
    if (times == nullptr || env->GetArrayLength(times) < 2) {
        logCaught(message, repo, res); // a missing or short array: no times to set
        return;
    }
    env->GetIntArrayRegion(times, 0, 2, values);
    struct utimbuf both = {values[0], values[1]};
    guarded(
        message, [&] { setTimeProperties_(repo.get(), res.get(), &both); }, repo, res);
}

JNIEXPORT jintArray JNICALL Java_orvane_util_RepositoryHandler_getTimePropertiesNative(
    JNIEnv* env, jobject, jstring repository, jstring resource) {
    JavaText repo(env, repository), res(env, resource);
    struct utimbuf times = {0, 0};
    int found = 0;
    if (!guarded(
            "An exception was caught in getTimeProperties_(%s, %s)",
            [&] { found = getTimeProperties_(repo.get(), res.get(), &times); }, repo, res) ||
        found != 1)
        return nullptr;
    jint values[2] = {static_cast<jint>(times.actime), static_cast<jint>(times.modtime)};
    jintArray result = env->NewIntArray(2);
    if (result != nullptr)
        env->SetIntArrayRegion(result, 0, 2, values);
    return result;
}

JNIEXPORT jobjectArray JNICALL Java_orvane_util_RepositoryHandler_listDirsNative(JNIEnv* env,
                                                                                 jobject,
                                                                                 jstring repository,
                                                                                 jboolean sorted) {
    return listNative(env, repository, sorted, "An exception was caught in listDirs_(%s)",
                      listDirs_);
}

JNIEXPORT jobjectArray JNICALL Java_orvane_util_RepositoryHandler_listFilesNative(
    JNIEnv* env, jobject, jstring repository, jboolean sorted) {
    return listNative(env, repository, sorted, "An exception was caught in listFiles_(%s)",
                      listFiles_);
}

JNIEXPORT jint JNICALL Java_orvane_util_RepositoryHandler_removeResourceNative(JNIEnv* env, jobject,
                                                                               jstring repository,
                                                                               jstring resource) {
    JavaText repo(env, repository), res(env, resource);
    jint result = -1;
    guarded(
        "An exception was caught in removeResource_(%s, %s)",
        [&] { result = removeResource_(repo.get(), res.get()); }, repo, res);
    return result;
}

JNIEXPORT jint JNICALL Java_orvane_util_RepositoryHandler_checkResourceStatusNative(
    JNIEnv* env, jobject, jstring repository, jstring resource) {
    JavaText repo(env, repository), res(env, resource);
    jint result = -1;
    guarded(
        "An exception was caught in checkResourceStatus_(%s, %s)",
        [&] { result = checkResourceStatus_(repo.get(), res.get()); }, repo, res);
    return result;
}

JNIEXPORT jint JNICALL Java_orvane_util_RepositoryHandler_getRepositoryStatusNative(
    JNIEnv* env, jobject, jstring repository) {
    JavaText repo(env, repository);
    jint result = -1;
    guarded(
        "An exception was caught in getRepositoryStatus_(%s)",
        [&] { result = getRepositoryStatus_(repo.get()); }, repo);
    return result;
}

JNIEXPORT jstring JNICALL Java_orvane_util_RepositoryHandler_getLocationNative(JNIEnv* env,
                                                                               jobject self,
                                                                               jstring repository,
                                                                               jstring resource) {
    return locate(env, self, repository, resource, false,
                  "An exception was caught in getLocation_(%s, %s)", getLocationCall);
}

JNIEXPORT jstring JNICALL Java_orvane_util_RepositoryHandler_createLocationNative(
    JNIEnv* env, jobject self, jstring repository, jstring resource, jboolean skipDirty) {
    return locate(env, self, repository, resource, skipDirty != JNI_FALSE,
                  "An exception was caught in createLocation_(%s, %s)", createLocation_);
}

JNIEXPORT jstring JNICALL Java_orvane_util_RepositoryHandler_createDirectoryNative(
    JNIEnv* env, jobject self, jstring repository, jstring resource, jboolean skipDirty) {
    return locate(env, self, repository, resource, skipDirty != JNI_FALSE,
                  "An exception was caught in createDirectory_(%s, %s)", createDirectory_);
}

} // extern "C"
