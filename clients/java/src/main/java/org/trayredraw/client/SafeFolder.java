// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.IOException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.GroupPrincipal;
import java.nio.file.attribute.UserPrincipal;
import java.util.Arrays;
import java.util.Collections;
import java.util.EnumSet;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.regex.Pattern;

import static java.nio.file.LinkOption.NOFOLLOW_LINKS;
import static java.nio.file.attribute.AclEntryPermission.APPEND_DATA;
import static java.nio.file.attribute.AclEntryPermission.DELETE;
import static java.nio.file.attribute.AclEntryPermission.DELETE_CHILD;
import static java.nio.file.attribute.AclEntryPermission.EXECUTE;
import static java.nio.file.attribute.AclEntryPermission.READ_DATA;
import static java.nio.file.attribute.AclEntryPermission.WRITE_ACL;
import static java.nio.file.attribute.AclEntryPermission.WRITE_ATTRIBUTES;
import static java.nio.file.attribute.AclEntryPermission.WRITE_DATA;
import static java.nio.file.attribute.AclEntryPermission.WRITE_NAMED_ATTRS;
import static java.nio.file.attribute.AclEntryPermission.WRITE_OWNER;

/**
 * The checks an elevated JVM (or one that cannot tell) makes of where it launches a program
 * from, since the program runs with its rights: every folder from a local volume's root
 * down is no reparse point, belongs to the administrators, the system or Windows' installer
 * account, and lets no one else move it or what it holds away, or give themselves the right
 * to; no one else may change the program or its own folder. Java reads only part of an
 * access list: one that is not there at all reads as empty, which fails, as does an entry
 * whose rights Java cannot read; entries Java leaves out only a trusted owner can have put.
 */
final class SafeFolder {

    // Well-known SIDs, the same on every Windows in every language.
    static final String ADMINISTRATORS = "S-1-5-32-544";
    static final String LOCAL_SYSTEM = "S-1-5-18";
    // The account that owns Windows' own folders, Program Files among them.
    static final String TRUSTED_INSTALLER = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

    /** On a folder on the way: whoever may do one of these may put a folder of their own in its place. */
    static final Set<AclEntryPermission> REPLACE = EnumSet.of(DELETE, DELETE_CHILD, WRITE_ACL, WRITE_OWNER);
    /** On the program and its own folder: these change it, or what it holds. */
    static final Set<AclEntryPermission> CHANGE = EnumSet.of(WRITE_DATA, APPEND_DATA, WRITE_NAMED_ATTRS,
            WRITE_ATTRIBUTES, DELETE, DELETE_CHILD, WRITE_ACL, WRITE_OWNER);
    /** On the copy this JVM makes, and its folder: whoever may read the copy may lock every launch out. */
    static final Set<AclEntryPermission> OPEN = EnumSet.of(READ_DATA, EXECUTE, WRITE_DATA, APPEND_DATA,
            WRITE_NAMED_ATTRS, WRITE_ATTRIBUTES, DELETE, DELETE_CHILD, WRITE_ACL, WRITE_OWNER);

    // A drive's root; a network path (\\host\share) has another.
    private static final Pattern LOCAL_ROOT = Pattern.compile("[A-Za-z]:\\\\|/");

    /** Windows' access lists, never through a link; tests stand in for them. */
    interface Acls {
        UserPrincipal owner(Path p) throws IOException;

        List<AclEntry> acl(Path p) throws IOException;

        void setAcl(Path p, List<AclEntry> acl) throws IOException;

        /** Makes {@code dir} with {@code acl} as its list from the moment it exists. */
        void createDirectory(Path dir, List<AclEntry> acl) throws IOException;
    }

    /** Windows' own, through Java's view of access lists ("acl:acl"; other systems have none). */
    static final Acls WINDOWS = new Acls() {
        @Override
        public UserPrincipal owner(Path p) throws IOException {
            return Files.getOwner(p, NOFOLLOW_LINKS);
        }

        @Override
        @SuppressWarnings("unchecked")
        public List<AclEntry> acl(Path p) throws IOException {
            return (List<AclEntry>) Files.getAttribute(p, "acl:acl", NOFOLLOW_LINKS);
        }

        @Override
        public void setAcl(Path p, List<AclEntry> acl) throws IOException {
            Files.setAttribute(p, "acl:acl", acl, NOFOLLOW_LINKS);
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
    };

    private SafeFolder() {}

    /**
     * Makes {@code dir}, or takes the one there, with exactly this list: the administrators
     * and the system may do everything, no one else anything (not what Windows merges in from
     * the parent, nor what an earlier owner put there); then checks it like the rest.
     */
    static void prepare(Acls acls, Path dir) throws IOException {
        Map<String, UserPrincipal> met = check(acls, dir.getParent(), REPLACE);
        if (!met.containsKey(ADMINISTRATORS) || !met.containsKey(LOCAL_SYSTEM))
            throw new IOException("the administrators and the system have no rights on " + dir.getParent());
        List<AclEntry> exact = Arrays.asList(allowAll(met.get(ADMINISTRATORS)), allowAll(met.get(LOCAL_SYSTEM)));
        if (!Files.exists(dir, NOFOLLOW_LINKS)) {
            try {
                acls.createDirectory(dir, exact);
            } catch (FileAlreadyExistsException another) {
                // Another JVM made it a moment ago: it is taken like any other.
            }
        }
        // Only a trusted owner's list is worth setting: any other owner may change it back.
        if (trusted(acls.owner(dir)) != null && !exact.equals(acls.acl(dir)))
            acls.setAcl(dir, exact);
        checkOne(acls, dir, OPEN, met);  // the way to it has just passed
    }

    /**
     * Checks each folder from the volume's root down to {@code dir}, and {@code dir} itself
     * against {@code rights}; returns the trusted accounts met on the way, by SID.
     */
    static Map<String, UserPrincipal> check(Acls acls, Path dir, Set<AclEntryPermission> rights) throws IOException {
        Path root = dir.getRoot();
        if (!dir.isAbsolute() || !LOCAL_ROOT.matcher(String.valueOf(root)).matches())
            throw new IOException(dir + " is not on a local volume");
        Map<String, UserPrincipal> met = new HashMap<>();
        int names = dir.getNameCount();
        Path p = root;
        checkOne(acls, p, names == 0 ? rights : REPLACE, met);
        for (int i = 0; i < names; i++) {
            p = p.resolve(dir.getName(i));
            checkOne(acls, p, i == names - 1 ? rights : REPLACE, met);
        }
        return met;
    }

    /** Checks one file or folder: no reparse point, a trusted owner, and no one else with any of {@code rights}. */
    static void checkOne(Acls acls, Path p, Set<AclEntryPermission> rights, Map<String, UserPrincipal> met)
            throws IOException {
        BasicFileAttributes a = Files.readAttributes(p, BasicFileAttributes.class, NOFOLLOW_LINKS);
        // Java counts a junction, and any reparse point but a symbolic link, as "other".
        if (a.isSymbolicLink() || a.isOther())
            throw new IOException(p + " is a link, a junction or another reparse point");
        // An owner may always rewrite the list.
        UserPrincipal owner = acls.owner(p);
        if (trusted(owner) == null)
            throw new IOException(p + " belongs to " + owner.getName() + ", not to the administrators or the system");
        List<AclEntry> acl = acls.acl(p);
        if (acl.isEmpty())
            throw new IOException(p + " has no access list that Java can read: everyone may change it");
        for (AclEntry e : acl) {
            // An entry only for what is made inside grants nothing here.
            if (e.type() != AclEntryType.ALLOW || e.flags().contains(AclEntryFlag.INHERIT_ONLY))
                continue;
            String sid = trusted(e.principal());
            if (sid != null)
                met.putIfAbsent(sid, e.principal());
            else if (e.permissions().isEmpty())  // generic rights, which Java does not read
                throw new IOException(e.principal().getName() + " has rights on " + p + " that Java cannot read");
            else if (!Collections.disjoint(e.permissions(), rights))
                throw new IOException(e.principal().getName() + " may " + rights(rights) + " " + p);
        }
    }

    /**
     * The SID of a trusted account, or null. Java looks accounts up only by their names,
     * which Windows translates, but its principals on Windows are equal, and hash, by their
     * SID string; users do not choose the SIDs of their accounts to hash alike.
     */
    static String trusted(UserPrincipal p) {
        if (p instanceof GroupPrincipal)
            for (String sid : new String[] {ADMINISTRATORS, LOCAL_SYSTEM, TRUSTED_INSTALLER})
                if (p.hashCode() == sid.hashCode())
                    return sid;
        return null;
    }

    private static AclEntry allowAll(UserPrincipal p) {
        return AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(p)
                .setPermissions(EnumSet.allOf(AclEntryPermission.class))
                .setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT).build();
    }

    private static String rights(Set<AclEntryPermission> rights) {
        return rights.contains(READ_DATA) ? "open" : rights.contains(WRITE_DATA) ? "change" : "move away or replace";
    }
}
