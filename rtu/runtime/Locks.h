// Every lock of the data centre, in one table: the order they may nest in and
// what a thread may wait for while it holds each. The files that own the locks
// refer here; a new lock, or a new wait under an existing one, is added here.
//
// Rules that hold for all of them:
//   - A lock is taken only after every lock above it in its column of the
//     order below, never the other way round.
//   - No lock is held while the runtime waits for the operator's view: the
//     window's answer hand-over (RuntimeView::DeliverAnswer) waits for the
//     user-interface thread, which takes the parse gates and the serial line
//     lock itself when the service stops. The other view calls only queue an
//     event (window) or write a line (headless) and may be made under locks.
//   - Calls into the network library (sends, closes) are made under no lock
//     but a parse gate: its callbacks take the registry lock, and its own
//     locks are never held when it calls the data centre.
//
// Order, outermost first ("->" : may be taken while holding the one before):
//
//   serialLineLock_ -> openCloseLock_ -> writeLock_
//                   -> framingLock_ -> frameQueueLock_
//   parseGate_[0] (network), then parseGate_[1] (serial)
//     -> registryLock_ -> frameQueueLock_, pictureLock_
//     -> serialStationsLock_            (never together with registryLock_)
//     -> pictureLock_ -> m_statementQueueLock
//     -> pendingLock_
//     -> m_queryConnectionLock -> m_connectionStringLock, ConnectLock(), SqliteConnectLock()
//     -> m_statementQueueLock
//     -> writeLock_, the network library's locks (acknowledgements)
//   m_lifecycleLock -> m_queryConnectionLock -> m_statementQueueLock
//   applierJournalLock_ -> pendingLock_
//   LifetimeLock() -> m_startStopLock -> m_serverLock -> m_connectionLock -> transferLock
//                  -> m_completionQueueLock -> m_bufferPoolLock -> TraceLock()
//   Innermost, nothing taken under them: settingsLock_, threadStateLock_,
//   outputLock_, answerLock_, applierStateLock_, connection_->first,
//   m_schemaLock (but database calls), m_socketRegistryLock, m_devicePoolLock,
//   m_listenLock, m_threadLock, eventLock, ProfileWriteLock(), ParsedFilesLock(),
//   pathLock, reportedLock, refusalLogLock_, m_refusalLock.
//
// The table (owner; what it guards; what the holder may wait for):
//
//   parseGate_[2]            CMainFrame. A parse thread's frame in hand (0 network, 1 serial), so
//                            a stop can wait for it. Held across Dispatcher::ParseFrame: may wait
//                            for every lock it precedes above, for room in a pool's statement
//                            queue (at most 60 s), for a look-up on the database, for the journal
//                            to take a report, and for a send. Released before the answer is
//                            handed to the view. StopService takes both with nothing else held.
//   serialLineLock_          CMainFrame. Opening and closing the serial line. Closing joins the
//                            line's reader thread, which takes framingLock_ and frameQueueLock_:
//                            those are never held while waiting for this one.
//   registryLock_            StationRegistry. The network maps and the framing state of each link
//                            record. Waits for nothing but the locks it precedes and a queued view
//                            post; network-library calls are collected and made after release.
//   serialStationsLock_      StationRegistry. The serial stations' records. Waits for nothing;
//                            serial writes are made after release.
//   pictureLock_             PictureStore. Pictures being received. Waits for file writes under
//                            the picture folder and for room in the main pool's statement queue;
//                            answers to stations and log lines are made after release.
//   framingLock_             CCommFrameQueue. The serial line's framing state; held by the
//                            reader thread while it cuts a block into frames.
//   frameQueueLock_          FrameQueue (network queue, serial queue). Queued frames; a parse
//                            thread waits on its condition holding no other lock.
//   openCloseLock_           CSerial. Open, Close and the device; Close joins the reader thread.
//   writeLock_               CSerial. The descriptor for writes: waits for the line to take the
//                            bytes (a bounded write).
//   pendingLock_             ReportJournal. Reports submitted and not yet in the file, and the
//                            writers' progress; queue operations only, never file access or
//                            acknowledgements.
//   applierJournalLock_      JournalApplier (a writer's session). Its pointer to the journal; held
//                            while it asks the journal (and waits in WaitBeyond, bounded).
//   applierStateLock_        JournalApplier. A writer's stop request and end.
//   connection_->first       JournalApplier. The database connection string a writer uses.
//   The river levels of report storage are each database writer's own: no lock.
//   m_lifecycleLock          CSqlWorkerPool. Start, Stop and the destructor; Stop joins workers.
//   m_queryConnectionLock    CSqlWorkerPool. The kept query connection: held around one query,
//                            a database round trip (and a reconnect).
//   m_statementQueueLock     CSqlWorkerPool. The statement queue: one queue operation, never a
//                            database call; writers wait on its conditions for room or a key.
//   m_connectionStringLock   CSqlWorkerPool. The pool's connection string.
//   m_schemaLock             CSqlWorkerPool. The one-time schema check: database calls.
//   ConnectLock(),           CAdoDB. Connecting and disconnecting a driver (process locale, the
//   SqliteConnectLock()      SQLite driver's connection list): waits for a server's connect.
//   The command queue has no lock of its own: it runs on its thread, and claims rows with the
//   database's row locks through the main pool.
//   settingsLock_            SettingsStore. The current settings (a shared pointer copied out).
//   threadStateLock_         RuntimeThread. Pause, resume and stop of a runtime thread.
//   outputLock_              HeadlessView. One line written to standard output (which may wait
//                            for a slow reader of the pipe).
//   answerLock_              CUiRuntimeView. The completion flag of an answer hand-over.
//   listLock_                CDeviceView (recursive). The station list; user-interface thread only,
//                            held around the context menu.
//   ProfileWriteLock()       ProfileFile. A read-modify-write of a profile file (file access).
//   ParsedFilesLock()        ProfileFile. The cache of parsed files: lookups only.
//   pathLock, reportedLock   Settings, TextFormat. The settings path; texts reported once.
//   refusalLogLock_          RateLimitedLog. The counts of held-back refusal lines: counting
//                            only; the line itself is written after release.
//   Network library (LinkCore):
//   LifetimeLock()           Creating and destroying the worker manager.
//   m_startStopLock          WorkerManager. One start or stop at a time; joins the server thread.
//   m_socketRegistryLock     WorkerManager. Connection ids and exports in flight; nothing else.
//   m_serverLock             CSocketServer. Active and free connections.
//   m_listenLock             CSocketServer. The listening socket.
//   m_connectionLock         CSocketServer::Socket. One connection's state.
//   transferLock             CIOCompletionPort::Device. One connection's transfers.
//   m_devicePoolLock         CIOCompletionPort. The recycled devices.
//   m_completionQueueLock    CIOCompletionPort. Completed packets; workers wait on its condition.
//   m_bufferPoolLock         CIOBuffer::Allocator. Pooled buffers.
//   m_threadLock             CThread. A thread's start and end.
//   m_refusalLock            CHvTcpServer. The counts of held-back accept and receive lines.
//   eventLock, TraceLock()   Event, Trace. Waiting on named events; one trace line.
#pragma once
