package orvane.util;

/**
 * The repository library, seen from Java. A repository is named by its directory path; a resource
 * by its id (one path component). Every method calls one function of the native library
 * (librepositoryhandler.so, found on java.library.path) and never throws: a failure inside the
 * library is logged to syslog and comes back as null or -1.
 *
 * <p>The three location methods also store the status of their operation in {@link #status}: 0
 * found and consistent, 1 dirty, 2 conflicting copies, 4 not found, 8 error, 16 the resource is
 * locked by another process. When the library fails inside the call (null, logged) the field
 * keeps its old value. One object must not be used from two
 * threads at once, and the library must not be called from two threads at once.
 */
public class RepositoryHandler {
    static {
        System.loadLibrary("repositoryhandler");
    }

    /** The status of the last location method that completed. */
    public int status;

    /** Sets the access (times[0]) and modification (times[1]) times, in seconds since the epoch. */
    public native void setTimePropertiesNative(String repository, String resource, int[] times);

    /** {access time, modification time} in seconds since the epoch, or null. */
    public native int[] getTimePropertiesNative(String repository, String resource);

    /** The ids of the resources that are directories, byte-sorted when sorted; null on failure. */
    public native String[] listDirsNative(String repository, boolean sorted);

    /** The ids of the resources that are not directories; null on failure. */
    public native String[] listFilesNative(String repository, boolean sorted);

    /** 0 removed, 1 dirty, 4 not found, 16 locked, 8 (or with others) failed; -1 on failure. */
    public native int removeResourceNative(String repository, String resource);

    /** The status of a locked lookup without touching the resource; -1 on failure. */
    public native int checkResourceStatusNative(String repository, String resource);

    /** The repository's status bits; -1 on failure. */
    public native int getRepositoryStatusNative(String repository);

    /** The resource's path (its times set to now), or null; the status goes to {@link #status}. */
    public native String getLocationNative(String repository, String resource);

    /** The existing or a new location, its hash directories made; status in {@link #status}. */
    public native String createLocationNative(String repository, String resource, boolean skipDirty);

    /** As createLocationNative, and the resource directory exists. */
    public native String createDirectoryNative(String repository, String resource, boolean skipDirty);
}
