import orvane.util.RepositoryHandler;

/**
 * A caller of the installed jar and library: creates one resource in the repository directory
 * given (already set up as a repository of one mount) and finds it again.
 */
public class InstalledJar {
    public static void main(String[] args) {
        RepositoryHandler repository = new RepositoryHandler();
        String made = repository.createDirectoryNative(args[0], "0815", false);
        String found = repository.getLocationNative(args[0], "0815");
        boolean ok = made != null && made.equals(found) && repository.status == 0
                && new java.io.File(found).isDirectory();
        System.out.println((ok ? "PASS " : "FAIL ") + found + " (status " + repository.status + ")");
        System.exit(ok ? 0 : 1);
    }
}
