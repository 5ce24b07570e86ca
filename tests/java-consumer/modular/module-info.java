// SPDX-License-Identifier: Apache-2.0
/** An application that requires the library as a module, for a runtime image made with jlink. */
module org.trayredraw.modular {
    requires org.trayredraw.client;
}
