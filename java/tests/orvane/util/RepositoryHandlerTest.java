package orvane.util;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;

/**
 * The native methods of RepositoryHandler on real repositories below the directory given as the
 * only argument (made afresh). Prints every failed check and "N passed, M failed"; exits 1 when a
 * check failed.
 */
public class RepositoryHandlerTest {
    private static int passed;
    private static int failed;
    private static Path work;

    private static void check(boolean condition, String what) {
        if (condition) {
            passed++;
        } else {
            failed++;
            System.out.println("check failed: " + what);
        }
    }

    private static void mkdirs(Path dir) throws IOException {
        Files.createDirectories(dir);
    }

    private static String logged() throws IOException {
        Path log = work.resolve("syslog.txt");
        return Files.exists(log) ? new String(Files.readAllBytes(log), StandardCharsets.UTF_8) : "";
    }

    // A repository of two mounts m0 and m1 below work/name.
    private static String repository(String name) throws IOException {
        Path dir = work.resolve(name);
        for (String mount : new String[] {"m0", "m1"}) {
            mkdirs(dir.resolve(mount));
            Files.write(dir.resolve(mount).resolve("repositorypart.cfg"), new byte[0]);
        }
        mkdirs(dir.resolve("legacy"));
        Files.write(dir.resolve("repository.cfg"),
                ("mountPoints = m0\\m1\nlegacyDir = " + dir.resolve("legacy") + "\n")
                        .getBytes(StandardCharsets.UTF_8));
        return dir.toString();
    }

    private static void normalPaths(RepositoryHandler handler) throws IOException {
        String repo = repository("normal");
        handler.status = 77;
        String made = handler.createDirectoryNative(repo, "r1", false);
        check(made != null && made.startsWith(repo + "/m0/") && made.endsWith("/r1"),
                "createDirectory: " + made);
        check(handler.status == 0 && Files.isDirectory(Paths.get(made)), "made, status 0");
        handler.status = 77;
        String location = handler.createLocationNative(repo, "f1", true);
        check(location != null && handler.status == 0, "createLocation, status " + handler.status);
        check(Files.isDirectory(Paths.get(location).getParent()) && !Files.exists(Paths.get(location)),
                "the hash directories exist, the resource is the caller's");
        Files.write(Paths.get(location), "data".getBytes(StandardCharsets.UTF_8));
        for (String id : new String[] {"c", "a", "b"})
            handler.createDirectoryNative(repo, id, false);

        handler.status = 77;
        check(made.equals(handler.getLocationNative(repo, "r1")) && handler.status == 0,
                "getLocation finds r1");
        check(handler.getLocationNative(repo, "nothere") == null && handler.status == 4,
                "getLocation of a missing resource: status " + handler.status);
        check(handler.checkResourceStatusNative(repo, "r1") == 0, "checkResourceStatus");

        String[] sorted = handler.listDirsNative(repo, true);
        check(Arrays.equals(sorted, new String[] {"a", "b", "c", "r1"}),
                "sorted: " + Arrays.toString(sorted));
        String[] unsorted = handler.listDirsNative(repo, false);
        Arrays.sort(unsorted);
        check(Arrays.equals(unsorted, sorted), "unsorted: the same names");
        check(Arrays.equals(handler.listFilesNative(repo, true), new String[] {"f1"}), "files");

        handler.setTimePropertiesNative(repo, "r1", new int[] {1000000, 2000000});
        int[] times = handler.getTimePropertiesNative(repo, "r1");
        check(times != null && times.length == 2 && times[0] == 1000000 && times[1] == 2000000,
                "times round trip, access first: " + Arrays.toString(times));
        check(handler.getTimePropertiesNative(repo, "nothere") == null, "no times of nothing");

        check(handler.removeResourceNative(repo, "r1") == 0, "removed");
        check(handler.removeResourceNative(repo, "r1") == 4, "removed already");
        int status = handler.getRepositoryStatusNative(repo);
        check(status >= 0 && (status & 256) == 0, "repository status " + status);

        // More names than the local references a native method may hold without asking.
        String many = repository("many");
        for (int i = 0; i < 100; i++)
            handler.createDirectoryNative(many, String.format("n%03d", i), false);
        String[] all = handler.listDirsNative(many, true);
        check(all != null && all.length == 100 && all[99].equals("n099"), "a long listing");

        String empty = repository("empty");
        String[] none = handler.listDirsNative(empty, true);
        check(none != null && none.length == 0, "an empty repository lists as an empty array");
    }

    // Names made outside Java, in any encoding, are listed without harm to the virtual machine.
    private static void foreignNames(RepositoryHandler handler) throws Exception {
        String repo = repository("foreign");
        String legacy = repo + "/legacy";
        Process perl = new ProcessBuilder("perl", "-e",
                "mkdir(\"$ARGV[0]/caf\\xe9\") && mkdir(\"$ARGV[0]/\\xf0\\x9f\\x98\\x80\") or exit 1",
                legacy).inheritIO().start();
        check(perl.waitFor() == 0, "names made by hand");
        String[] names = handler.listDirsNative(repo, true);
        List<String> list = names == null ? List.of() : Arrays.asList(names);
        check(list.contains("caf\uFFFD"), "a Latin-1 byte becomes U+FFFD: " + list);
        check(list.contains("\uD83D\uDE00"), "a four-byte sequence becomes a surrogate pair");
    }

    private static void failures(RepositoryHandler handler) throws IOException {
        Path broken = work.resolve("broken");
        mkdirs(broken);
        Files.write(broken.resolve("repository.cfg"),
                "mountPoints = missing\n".getBytes(StandardCharsets.UTF_8));
        String repo = broken.toString();
        handler.status = 42;
        check(handler.getLocationNative(repo, "x") == null && handler.status == 42,
                "getLocation fails, status kept: " + handler.status);
        check(handler.createLocationNative(repo, "x", false) == null && handler.status == 42,
                "createLocation fails, status kept");
        check(handler.createDirectoryNative(repo, "x", true) == null && handler.status == 42,
                "createDirectory fails, status kept");
        check(handler.getRepositoryStatusNative(repo) == -1, "repository status -1");
        check(handler.removeResourceNative(repo, "x") == -1, "remove -1");
        check(handler.checkResourceStatusNative(repo, "x") == -1, "check -1");
        check(handler.listDirsNative(repo, true) == null, "listDirs null");
        check(handler.listFilesNative(repo, false) == null, "listFiles null");
        check(handler.getTimePropertiesNative(repo, "x") == null, "getTimeProperties null");
        handler.setTimePropertiesNative(repo, "x", new int[] {1, 2});
        String log = logged();
        for (String message : new String[] {"getLocation_(%s, x)", "createLocation_(%s, x)",
                     "createDirectory_(%s, x)", "getRepositoryStatus_(%s)", "removeResource_(%s, x)",
                     "checkResourceStatus_(%s, x)", "listDirs_(%s)", "listFiles_(%s)",
                     "getTimeProperties_(%s, x)", "setTimeProperties_(%s, x)"}) {
            String line = "An exception was caught in " + String.format(message, repo);
            check(log.contains(line + "\n"), "logged: " + line);
        }

        // Null strings never reach the virtual machine's string functions.
        String good = repository("nulls");
        handler.status = 43;
        check(handler.getLocationNative(null, "x") == null && handler.status == 43, "null repo");
        check(handler.createDirectoryNative(good, null, false) == null && handler.status == 43,
                "null resource");
        check(handler.createLocationNative(null, null, false) == null, "both null");
        check(handler.removeResourceNative(good, null) == -1, "remove null");
        check(handler.checkResourceStatusNative(null, "x") == -1, "check null");
        check(handler.getRepositoryStatusNative(null) == -1, "status null");
        check(handler.listDirsNative(null, true) == null, "listDirs null");
        check(handler.listFilesNative(null, true) == null, "listFiles null");
        check(handler.getTimePropertiesNative(good, null) == null, "getTimes null");
        handler.setTimePropertiesNative(null, "x", new int[] {1, 2});
        handler.setTimePropertiesNative(good, "x", null);
        handler.setTimePropertiesNative(good, "x", new int[] {1});
        log = logged();
        check(log.contains("An exception was caught in getLocation_((null), x)\n"), "null shown");
        check(log.contains("An exception was caught in createDirectory_(" + good + ", (null))\n"),
                "null resource shown");
        check(log.contains("An exception was caught in setTimeProperties_(" + good + ", x)\n"),
                "a missing or short times array is refused");
        check(handler.getRepositoryStatusNative(good) >= 0, "the library still works");
    }

    // A resource locked by another process for longer than the lookup waits: null with status 16,
    // never 0. The lock file is made by hand; the wait takes its 30 seconds.
    private static void locked(RepositoryHandler handler) throws Exception {
        String repo = repository("locked");
        handler.createDirectoryNative(repo, "busy", false);
        Path lock = work.resolve("locks").resolve(
                "semaphore_OVRepositoryHandler-" + repo.replace('/', '_') + "-busy");
        Files.write(lock, new byte[0]);
        handler.status = 0;
        check(handler.getLocationNative(repo, "busy") == null && handler.status == 16,
                "a locked resource: status " + handler.status);
        Files.delete(lock);
    }

    private static void secondThread(RepositoryHandler handler) throws Exception {
        String repo = repository("thread");
        String made = handler.createDirectoryNative(repo, "t", false);
        handler.status = 99;
        String[] found = new String[1];
        Thread other = new Thread(() -> found[0] = handler.getLocationNative(repo, "t"));
        other.start();
        other.join();
        check(made != null && made.equals(found[0]) && handler.status == 0,
                "a call from a second thread");
    }

    public static void main(String[] args) throws Exception {
        work = Paths.get(args[0]);
        // rm, since Java cannot name every file a test leaves (names in no valid encoding).
        new ProcessBuilder("rm", "-rf", "--", work.toString()).inheritIO().start().waitFor();
        mkdirs(work.resolve("locks"));
        RepositoryHandler handler = new RepositoryHandler();
        normalPaths(handler);
        foreignNames(handler);
        failures(handler);
        secondThread(handler);
        locked(handler);
        System.out.println("java: " + passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }
}
