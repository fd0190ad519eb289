// Every text the bridge writes to its daily log, in one place.
//
// These texts are a contract: operators' scripts and monitoring grep the logs for them, so each is
// kept character for character as it has always been written, the misspellings ("Reciever"), doubled
// blanks and trailing blanks included. Add new texts here; never reword one that exists. Each field of
// the configuration line is logged as "<name> - <value>" with the names of config/config.cpp's table.
#pragma once

// Start-up and configuration
constexpr char kLogConfigOpened[] = "BCSTBRIDGE.INI config file open successfully";
constexpr char kLogConfigOpenError[] = "Error while opening BCSTBRIDGE.INI config file";
constexpr char kLogConfigBlankLine[] = "Blank line present in config file .. Line No. - %lld";
constexpr char kLogConfigNoDelimiter[] = "Delimiter not found in config file for record - %lld";
constexpr char kLogConfigNoInstance[] = "Input instance %d not available in BCSTBRIDGE.INI config file";
constexpr char kLogConfigCopyError[] = "Error during copying config parameters into Global Structure";
constexpr char kLogConfigCopyLastError[] =
    "Error during copying last config parameters into Global Structure";
constexpr char kLogConfigImproperPosition[] = "CopyConfigParamToGlobalStruct - Improper Field position";
constexpr char kLogConfigTextField[] = "%s - %s";
constexpr char kLogConfigNumberField[] = "%s - %d";
constexpr char kLogCountersUnavailable[] =
    "Counters file %s could not be created (%s: %s); running without live counters";
constexpr char kLogStoreRestored[] = "Instrument store %s restored: %u instruments of %d-%d-%d";
constexpr char kLogStoreOtherDay[] = "Instrument store %s is of %d-%d-%d; kept as %s, the day starts empty";
constexpr char kLogStoreDamaged[] = "Instrument store %s is damaged (%s); kept as %s, starting empty";
constexpr char kLogStoreNotHeld[] =
    "Instrument store %s lacks %u instruments that the process which wrote it held (no room on disk); "
    "they start empty";
constexpr char kLogStoreUnavailable[] =
    "Instrument store file %s could not be written (%s: %s); instruments are kept in memory only";
constexpr char kLogRoleStandbyAtStart[] =
    "Standby file %s present at start-up; this instance is standby and sends nothing until it is removed";
constexpr char kLogRoleUnknownAtStart[] =
    "Standby file %s could not be checked at start-up (%s); this instance starts as standby";
constexpr char kLogReceiverReady[] = "Receiver Socket Initialized Successfully";
constexpr char kLogSenderReady[] = "Sender Socket Initialized Successfully";
constexpr char kLogBusyPolling[] = "Busy polling: the receive loop never sleeps and keeps one core busy";

// Receiving socket
constexpr char kLogRecvCreateError[] = "Receiver: Socket Create Error";
constexpr char kLogRecvCreated[] = "Receiver: Socket Create Success";
constexpr char kLogRecvBindError[] = "Receiver: Socket Bind Error";
constexpr char kLogRecvBound[] = "Receiver: Socket Bind Success";
constexpr char kLogRecvTtlError[] = "Reciever: Error in setting socket options for optval";
constexpr char kLogRecvTtlSet[] = "Reciever: setsockopt for IP_MULTICAST_TTL successful ";
constexpr char kLogRecvJoinError[] = "Reciever: Error in setting socket options for  for IP_ADD_MEMBERSHIP";
constexpr char kLogRecvJoined[] = "Reciever: setsockopt for IP_ADD_MEMBERSHIP successful";
constexpr char kLogRecvReuseError[] = "Reciever: Error in setting socket options for  SO_REUSEADDR";
constexpr char kLogRecvReuseSet[] = "Reciever: setsockopt for SO_REUSEADDR successful";
constexpr char kLogRecvBufferError[] = "Reciever: Error in setting socket options for SO_RCVBUF";
constexpr char kLogRecvBufferSet[] = "Reciever: setsockopt for SO_RCVBUF successful";

// Sending socket
constexpr char kLogSendCreateError[] = "Sender: Socket Create Error";
constexpr char kLogSendCreated[] = "Sender: Socket Create Success";
constexpr char kLogSendReuseError[] = "Sender: Error in setting socket options for  SO_REUSEADDR";
constexpr char kLogSendReuseSet[] = "Sender: setsockopt for SO_REUSEADDR successful";
constexpr char kLogSendBindError[] = "Sender: Socket Bind Error";
constexpr char kLogSendBound[] = "Sender: Socket Bind Success";
constexpr char kLogSendInterfaceError[] = "Sender: Error in IP_MULTICAST_IF socket";
constexpr char kLogSendInterfaceSet[] = "Sender: setsockopt for IP_MULTICAST_IF is successful";
constexpr char kLogSendTtlError[] = "Sender: Error in setting socket options for optval ";
constexpr char kLogSendTtlSet[] = "Sender: setsockopt for IP_MULTICAST_TTL successful ";

// Running
constexpr char kLogReceiveNull[] = "ReceiveMulticastData : Input parameter is NULL ";
constexpr char kLogReceiveError[] = "ReceiveMulticastData : Receive Error ";
constexpr char kLogSendError[] = "SendMulticastData : Send Error ";
constexpr char kLogFrameNull[] = "ProcessNewMktData : Input parameter is NULL ";
constexpr char kLogFrameLength[] =
    "DecompressNewMktData - Compress Length should be less than 0 and greater than equal to 2500";
constexpr char kLogFrameDecodeError[] = "ProcessNewMktData :  Decompression Size should be greater than 0 ";
constexpr char kLogOhlNull[] = "ProcessOHLData : Input parameter is NULL ";
constexpr char kLogTickerNull[] = "ProcessTickerData : Input parameter is NULL ";
constexpr char kLogMbpNull[] = "ProcessMBPData : Input parameter is NULL ";
constexpr char kLogStoreFileLost[] =
    "Instrument store file %s was %s; written again from memory (%u instruments)";
constexpr char kLogStoreNoRoom[] =
    "Instrument store file %s has room for %u instruments (%s); later ones are kept in memory only";
constexpr char kLogStoreRoomAgain[] = "Instrument store file %s has room again; all %u instruments are in it";
constexpr char kLogStoreNewDay[] = "Instrument store %s carried into %d-%d-%d with %u instruments";
constexpr char kLogStoreHeaderRepaired[] =
    "Instrument store file %s had a header that differed from memory; written back";
constexpr char kLogStoreEntriesRepaired[] =
    "Instrument store file %s had %u of its %u entries differing from memory; written back";
constexpr char kLogStoreFull[] = "Instrument store full at %u instruments; records of new tokens are dropped";
constexpr char kLogCountersFileLost[] = "Counters file %s was %s; written again from memory";
constexpr char kLogRoleStandby[] = "Standby file %s appeared; sending stopped, this instance is now standby";
constexpr char kLogRoleActive[] =
    "Standby file %s removed; sending resumed, this instance is now active (%lld datagrams withheld since "
    "the start)";
constexpr char kLogStatisticsOpenError[] = "Error while opening UDP_STATISTICS.txt file";

// A text logged more often than the repeat limit allows is summed up later as
// "<text> (repeated <n> more times)".
constexpr char kLogRepeatedBefore[] = " (repeated ";
constexpr char kLogRepeatedAfter[] = " more times)";
