// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.IOException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.UserPrincipal;
import java.util.ArrayList;
import java.util.Collections;
import java.util.EnumSet;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.function.Function;

import static java.nio.file.LinkOption.NOFOLLOW_LINKS;
import static java.nio.file.attribute.AclEntryPermission.APPEND_DATA;
import static java.nio.file.attribute.AclEntryPermission.DELETE;
import static java.nio.file.attribute.AclEntryPermission.DELETE_CHILD;
import static java.nio.file.attribute.AclEntryPermission.EXECUTE;
import static java.nio.file.attribute.AclEntryPermission.READ_ACL;
import static java.nio.file.attribute.AclEntryPermission.READ_ATTRIBUTES;
import static java.nio.file.attribute.AclEntryPermission.READ_DATA;
import static java.nio.file.attribute.AclEntryPermission.READ_NAMED_ATTRS;
import static java.nio.file.attribute.AclEntryPermission.SYNCHRONIZE;
import static java.nio.file.attribute.AclEntryPermission.WRITE_ACL;
import static java.nio.file.attribute.AclEntryPermission.WRITE_ATTRIBUTES;
import static java.nio.file.attribute.AclEntryPermission.WRITE_DATA;
import static java.nio.file.attribute.AclEntryPermission.WRITE_NAMED_ATTRS;
import static java.nio.file.attribute.AclEntryPermission.WRITE_OWNER;

/**
 * The folder from which an elevated JVM, or one whose elevation cannot be told, launches
 * the jar's program: %CommonProgramFiles%\trayredraw, which no less privileged program can
 * change or move away.
 *
 * <p>The JVM makes it with an access list given at creation (administrators and the system
 * may change it, users may read and run what it holds), or takes the one that is there;
 * either must pass the same test: owned by the administrators, the system or Windows' own
 * installer account, and no one else may change it. Its parent, the system's folder for shared program files, must let no one
 * else move it away or put another in its place; no link or junction may lie on the way.
 * The accounts are compared as principals, which Windows tells apart by SID: their names
 * are translated. Nothing is made or written in the folder before it has passed, and it
 * is checked again once the copy is held for a launch: a folder that passed once may have
 * been changed since.
 */
final class AdminFolder {

    // Well-known SIDs, the same on every Windows in every language.
    private static final String ADMINISTRATORS = "S-1-5-32-544";
    private static final String LOCAL_SYSTEM = "S-1-5-18";
    private static final String USERS = "S-1-5-32-545";
    // The account that owns Windows' own folders, Program Files among them.
    private static final String TRUSTED_INSTALLER = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

    // Any of these lets a principal change what the folder holds, or give itself that right.
    private static final Set<AclEntryPermission> CHANGE = EnumSet.of(WRITE_DATA, APPEND_DATA, WRITE_NAMED_ATTRS,
            WRITE_ATTRIBUTES, DELETE, DELETE_CHILD, WRITE_ACL, WRITE_OWNER);
    // Any of these on the parent lets a principal move the folder (or the parent with it)
    // away and put one of its own in its place.
    private static final Set<AclEntryPermission> REPLACE = EnumSet.of(DELETE, DELETE_CHILD, WRITE_ACL, WRITE_OWNER);
    private static final Set<AclEntryPermission> READ_AND_RUN = EnumSet.of(READ_DATA, READ_NAMED_ATTRS, EXECUTE,
            READ_ATTRIBUTES, READ_ACL, SYNCHRONIZE);

    /**
     * What Windows' access lists say, and how a folder is made with one; tests stand in for
     * them, since Java reads access lists on Windows only. Nothing follows a link.
     */
    interface Acls {
        /** The account that a well-known SID names, or null where it cannot be found. */
        UserPrincipal account(String sid);

        /** Makes {@code dir} with {@code acl} as its access list from the moment it exists. */
        void createDirectory(Path dir, List<AclEntry> acl) throws IOException;

        UserPrincipal owner(Path file) throws IOException;

        List<AclEntry> acl(Path file) throws IOException;
    }

    /** Windows' own, through Java's access-list view. */
    static final Acls WINDOWS = new Acls() {
        @Override
        public UserPrincipal account(String sid) {
            try {
                return FileSystems.getDefault().getUserPrincipalLookupService().lookupPrincipalByName(sid);
            } catch (IOException | RuntimeException e) {
                return null;
            }
        }

        @Override
        public void createDirectory(Path dir, List<AclEntry> acl) throws IOException {
            Files.createDirectory(dir, new FileAttribute<List<AclEntry>>() {
                @Override
                public String name() {
                    return "acl:acl";
                }

                @Override
                public List<AclEntry> value() {
                    return acl;
                }
            });
        }

        @Override
        public UserPrincipal owner(Path file) throws IOException {
            return Files.getOwner(file, NOFOLLOW_LINKS);
        }

        @Override
        public List<AclEntry> acl(Path file) throws IOException {
            AclFileAttributeView view = Files.getFileAttributeView(file, AclFileAttributeView.class, NOFOLLOW_LINKS);
            if (view == null)
                throw new IOException("this system shows no access lists");
            return view.getAcl();
        }
    };

    private final String common;
    private final Acls acls;

    AdminFolder(Function<String, String> env, Acls acls) {
        this.common = env.apply("CommonProgramFiles");
        this.acls = acls;
    }

    /**
     * The folder, made if it is not there, once it has passed.
     *
     * @throws IOException saying why there is no such folder and what to do
     */
    Path prepare() throws IOException {
        try {
            Path folder = folder();
            Set<UserPrincipal> trusted = trusted();
            checkParent(folder, trusted);
            if (!Files.exists(folder, NOFOLLOW_LINKS)) {
                try {
                    acls.createDirectory(folder, acl());
                } catch (FileAlreadyExistsException another) {
                    // Another JVM made it a moment ago: it is checked like any other.
                }
            }
            checkFolder(folder, trusted);
            return folder;
        } catch (IOException e) {
            throw noPlace(e);
        }
    }

    private Path folder() throws IOException {
        try {
            if (common != null && Paths.get(common).isAbsolute())
                return Paths.get(common, "trayredraw");
        } catch (InvalidPathException e) {
            // told below
        }
        throw new IOException("the environment names no folder for shared program files (CommonProgramFiles)");
    }

    /**
     * Checks the folder that {@link #prepare} returned again, once the copy is held.
     *
     * @throws IOException saying why the folder no longer passes and what to do
     */
    void check(Path folder) throws IOException {
        try {
            Set<UserPrincipal> trusted = trusted();
            checkParent(folder, trusted);
            checkFolder(folder, trusted);
        } catch (IOException e) {
            throw noPlace(e);
        }
    }

    // The administrators, the system, and the account that owns Windows' own folders: no
    // program that runs with less than an elevated administrator's rights has any of them.
    private Set<UserPrincipal> trusted() throws IOException {
        UserPrincipal administrators = acls.account(ADMINISTRATORS);
        UserPrincipal system = acls.account(LOCAL_SYSTEM);
        if (administrators == null || system == null)
            throw new IOException("the accounts of the administrators and of the system cannot be found");
        Set<UserPrincipal> trusted = new HashSet<>();
        trusted.add(administrators);
        trusted.add(system);
        UserPrincipal installer = acls.account(TRUSTED_INSTALLER);
        if (installer != null)
            trusted.add(installer);
        return trusted;
    }

    // Full control for the administrators and the system, reading and running for users;
    // what is made inside inherits it. Windows adds what the parent passes on to its
    // children: under Program Files, write access for no one but these and its installer.
    private List<AclEntry> acl() {
        List<AclEntry> acl = new ArrayList<>();
        for (String sid : new String[] {ADMINISTRATORS, LOCAL_SYSTEM, USERS}) {
            UserPrincipal p = acls.account(sid);
            if (p != null)
                acl.add(AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(p)
                        .setPermissions(sid.equals(USERS) ? READ_AND_RUN : EnumSet.allOf(AclEntryPermission.class))
                        .setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT).build());
        }
        return acl;
    }

    private void checkParent(Path folder, Set<UserPrincipal> trusted) throws IOException {
        noLinks(folder);
        Path parent = folder.getParent();
        ownedByTrusted(parent, trusted);
        onlyTrustedMay(parent, REPLACE, trusted, "move what it holds away");
    }

    // An owner may always rewrite the access list, so it must be trusted too: an
    // administrator's folder whose owner is the administrator's own account (where a
    // policy makes it so) is open to every program of that account.
    private void checkFolder(Path folder, Set<UserPrincipal> trusted) throws IOException {
        noLinks(folder);
        ownedByTrusted(folder, trusted);
        onlyTrustedMay(folder, CHANGE, trusted, "change what it holds");
    }

    private void ownedByTrusted(Path dir, Set<UserPrincipal> trusted) throws IOException {
        UserPrincipal owner = acls.owner(dir);
        if (!trusted.contains(owner))
            throw new IOException(dir + " belongs to " + owner.getName() + ", not to the administrators or the system");
    }

    private void onlyTrustedMay(Path dir, Set<AclEntryPermission> rights, Set<UserPrincipal> trusted, String what)
            throws IOException {
        for (AclEntry e : acls.acl(dir)) {
            // An entry only for what is made inside grants nothing on the folder itself.
            if (e.type() == AclEntryType.ALLOW && !e.flags().contains(AclEntryFlag.INHERIT_ONLY)
                    && !Collections.disjoint(e.permissions(), rights) && !trusted.contains(e.principal()))
                throw new IOException(e.principal().getName() + " may " + what + ": " + dir);
        }
    }

    // No link or junction on the way to what there is of the path: one would turn what
    // this JVM makes, writes and launches there into the same somewhere else.
    private static void noLinks(Path path) throws IOException {
        Path p = path.getRoot();
        for (Path name : path) {
            p = p == null ? name : p.resolve(name);
            BasicFileAttributes a;
            try {
                a = Files.readAttributes(p, BasicFileAttributes.class, NOFOLLOW_LINKS);
            } catch (NoSuchFileException notYet) {
                return;
            }
            // A junction is a reparse point, which Java counts as "other".
            if (a.isSymbolicLink() || a.isOther())
                throw new IOException(p + " is a link or junction");
        }
    }

    private static IOException noPlace(IOException why) {
        return new IOException("trayredraw: this JVM runs elevated, or cannot tell whether it does, and launches the"
                + " helper only from a folder that no less privileged program can change, but "
                + (why instanceof FileSystemException ? why : why.getMessage()) + ". Name an installed"
                + " trayredraw.exe (under Program Files) with the system property " + TrayRedrawClient.PROGRAM_PROPERTY
                + ", or by passing its path to TrayIconKeeper.add or TrayRedrawClient.open", why);
    }
}
