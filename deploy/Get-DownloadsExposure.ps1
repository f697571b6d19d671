<#
.SYNOPSIS
    Finds every way an account other than SYSTEM, Administrators,
    TrustedInstaller (and those given with -TrustedSid) can change the agent's
    Downloads folder or what it holds, now or once the repair tool has
    written: what the repair tool does not take away, and what it would hand
    out. Reads only; writes nothing.

.DESCRIPTION
    The repair tool gives Downloads the program-files folder's entries as its
    own, keeps its owner and whether its list is protected, and works out
    the inherited entries of Downloads and of each item inside it anew. It
    leaves owners, explicit entries inside, the folders above Downloads, links
    and files with more than one name as they are. This audit decides, by
    Windows' own access-check rules, what other accounts may do on each of
    those, now and in the lists the tool's next write leaves, and returns one
    finding for each way it finds.

    The check (as Microsoft documents it in [MS-DTYP] 2.5.3.2): the entries
    that apply to an object are taken in order (inherit-only entries apply only
    to what is created below it); an allow entry grants the rights that no
    earlier deny entry denied, and a deny entry denies the rights that no
    earlier allow entry granted; generic rights are mapped through the file
    generic mapping; the owner may always read and change the list, unless an
    OWNER RIGHTS (S-1-3-4) entry applies, which then decides what the owner
    may do.

    It asks for three kinds of token: a standard user's (Everyone, Users,
    Authenticated Users), an account outside Users such as a guest's
    (Everyone, Guests), each with how it logged on (INTERACTIVE, LOCAL; where
    an entry names how an account logged on, each way of logging on in
    turn); and each other account that owns or is named in the object's
    list, together with a standard user's groups. It never asks for SYSTEM,
    Administrators, TrustedInstaller, the accounts given with -TrustedSid, or
    the placeholders S-1-3-* that stand for an owner or creator. It reads the
    list as Windows holds it: a conditional entry that allows counts as
    granting, one that denies as denying nothing. What counts:
      - on Downloads and on everything inside it: write (create files),
        append (create folders), delete, delete children, change permissions
        (WRITE_DAC), take ownership (WRITE_OWNER), and on folders write
        attributes, with which an empty folder can be made a junction; on
        Downloads and the folders inside it also what their entries pass to
        what is created there (by SYSTEM, the agent) beyond what the same
        account may do on the folder itself;
      - on the two folders on the way to Downloads, and on the
        application-data folder itself: delete, delete children, change
        permissions and take ownership, the rights with which a folder, or
        what it holds, can be renamed away and replaced; where a folder on the
        way is missing and the agent is installed, who may create it (and
        would own it).
    Write extended attributes, and write attributes on files, are not
    counted: they change a file's attributes, not its contents or its list.

    What the tool's next write leaves, worked out by the ACE inheritance rules
    (CREATOR OWNER becomes the item's owner, generic rights are mapped,
    object-inherit entries reach files and container-inherit entries folders,
    no-propagate stops after one level, inherit-only entries pass on without
    applying; CREATOR GROUP, which no stock list holds, is not worked out):
    on Downloads, the program-files folder's entries as its own, then what
    its parent passes it, unless its list is protected; on each item
    inside, its own explicit entries, then what its parent's new list passes
    it for its owner; an item whose list is protected keeps it, and what lies
    below it is left as it is. A grant that exists only there is a finding of
    its own, "after the repair, <account> may ...", so that run before the
    tool, the audit shows what the tool will hand out.

    Owners: every item inside Downloads, and Downloads itself, whose owner is
    not trusted is reported, with all that owner may do now, once the tool
    writes its list, or once it is reset while it still owns it: as its
    owner, through entries for it, and through those Windows makes for it
    from CREATOR OWNER.

    The stock baseline: a stock application-data folder (ProgramData) lets
    Users create files and folders in every folder below it, through one
    entry that each folder inherits. Where Downloads inherits that entry
    unchanged (the same SID and rights, inherited through the two folders on
    the way, neither of which adds an entry of its own for Users), the grant
    is reported as Kind Baseline: it is the same on every such machine and
    needs no action on one. Any other inherited grant is a finding.

    The tree inside Downloads is walked breadth first without entering links,
    at most -MaxItems items and -MaxSeconds seconds. A reparse point is
    reported as a link from its listing, before anything else is read about
    it; a file with more than one name is reported too. What the walk could
    not see is a finding of its own: an item it could not read, a folder it
    could not list, an item listed that cannot be opened by its name, a name
    ending in a dot or a space (opening it by that name opens another item),
    the bound reached. The walk saw everything exactly when no finding has
    Kind NotSeen.

    An inherited grant inside Downloads to someone other than the item's
    owner is reported only where resetting what lies inside (icacls /reset,
    after Administrators take ownership) would remove it; one that a reset
    would give back comes from Downloads or a folder above and is reported
    there. On Downloads, each grant's remedy says whether the tool's next
    write takes it away or keeps it.

    Each finding has Path, Sid, Account (the name where it resolves), Allows
    (the rights, by name), Why, Remedy, and Kind: Access, AfterRepair (a grant
    that exists only in the lists the tool's next write leaves), Link,
    HardLink, NotSeen, Key, or Baseline (the stock grant above). Every Kind
    but Baseline needs action. Remedies are commands that work when typed
    into an elevated PowerShell; none follows a link.

.PARAMETER Summary
    For Intune Remediations (detection-only) and Configuration Manager
    configuration items: prints one line of at most 2,048 characters. Where
    anything that needs action is found (any Kind but Baseline), the line
    starts with "needs action:" and names the first such finding (its Kind,
    path, why, account and rights, and remedy), then how many need action of
    each Kind and whether everything was seen, and the script exits 1; where
    nothing is, the line starts with "no exposure that needs action" and the
    script exits 0 (then everything was seen). Either line mentions the stock
    baseline once where there is one.
    Remediations and configuration items pass no arguments, so the script
    answers this way by itself where it runs as SYSTEM outside a console and
    outside a remote session, as both run it; -Summary:$false there gives the
    objects. Where its own file lies in the Configuration Manager client's
    folder (%windir%\CCM), where the client keeps a configuration item's
    script while it runs it, it exits 0 in either case: the client reads any
    other status as a failure to discover, and the line is the value its
    compliance rule checks.

.PARAMETER IncludeBaseline
    Counts the stock baseline as needing action, in the -Summary line and its
    exit status: for an organisation that has decided to remove it.

.PARAMETER TrustedSid
    SIDs of further accounts to trust as SYSTEM is trusted, for example the
    agent's own service SID or NETWORK SERVICE (S-1-5-20) where the agent
    writes into Downloads under that account: what they own or may do is not
    reported.

.PARAMETER MaxItems
    How many items inside Downloads the walk looks at before it stops.

.PARAMETER MaxSeconds
    How long the walk inside Downloads may take before it stops.

.EXAMPLE
    .\Get-DownloadsExposure.ps1 | Where-Object Kind -ne 'Baseline' | Format-List

.EXAMPLE
    Invoke-Command -ComputerName (Get-Content .\pilot.txt) -FilePath .\Get-DownloadsExposure.ps1 |
        Export-Csv -NoTypeInformation -Path .\exposure.csv

.NOTES
    Written for Windows PowerShell 5.1; uses nothing that PowerShell 7 or a
    plain Windows installation lacks. Run it elevated or as SYSTEM: what it
    cannot read is a finding of its own. In ConstrainedLanguage mode it cannot
    read access lists at all and refuses in one line on standard error with
    exit status 1.

    What each finding means and its remedy, and how to run the audit on a
    pilot: docs/deploying.md in the project's source, section "Pilot: before
    rollout"; after the repair tool left items inside Downloads: section
    "When the tool leaves items: a link or a file with two names"; as a
    configuration item: section "The audit as a configuration item".

.LINK
    docs/deploying.md#pilot-before-rollout

.LINK
    docs/deploying.md#when-the-tool-leaves-items-a-link-or-a-file-with-two-names

.LINK
    docs/deploying.md#the-audit-as-a-configuration-item
#>
[CmdletBinding()]
param(
    [switch]$Summary,

    [switch]$IncludeBaseline,

    [ValidatePattern('^S-1-[0-9]+(-[0-9]+)+$')]
    [string[]]$TrustedSid = @(),

    [ValidateRange(1, 10000000)]
    [int]$MaxItems = 100000,

    [ValidateRange(1, 86400)]
    [int]$MaxSeconds = 300
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$Suffix = 'Morvane Security', 'Morvane Devices Agent', 'Downloads'
$AgentKey = 'SOFTWARE\Morvane Security\Dovrix\Kelto Agent'
$Administrators = 'S-1-5-32-544'
$Users = 'S-1-5-32-545'
$Trusted = @{
    'S-1-5-18'      = 'SYSTEM'
    $Administrators = 'Administrators'
    'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464' = 'TrustedInstaller'
}
# A standard user's token: Everyone, Users, Authenticated Users; an account
# outside Users (the built-in Guest's): Everyone, Guests. Each with the SIDs
# of how it logged on: interactive (INTERACTIVE, LOCAL) unless an entry names
# a logon SID; then each way of logging on is asked in turn, since a deny on
# one of them binds only those who logged on that way.
$StandardUser = 'S-1-1-0', $Users, 'S-1-5-11'
$Outsider = 'S-1-1-0', 'S-1-5-32-546'
$Interactive = 'S-1-5-4', 'S-1-2-0'
$LogonSids = 'S-1-5-4', 'S-1-2-0', 'S-1-2-1', 'S-1-5-14', 'S-1-5-3', 'S-1-5-6', 'S-1-5-2'
$LogonWays = @(@('S-1-5-4', 'S-1-2-0', 'S-1-2-1'), @('S-1-5-4', 'S-1-5-14', 'S-1-2-0'), @('S-1-5-3', 'S-1-2-0'),
    @('S-1-5-6', 'S-1-2-0'), @(, 'S-1-5-2'))
$CreatorOwner = 'S-1-3-0'
$OwnerRights = 'S-1-3-4'
# Placeholders that stand for whoever owns or creates an object: no token holds them.
$Placeholder = '^S-1-3-'

$Write = 0x2; $Append = 0x4; $DeleteChild = 0x40; $WriteAttributes = 0x100; $Delete = 0x10000
$ReadControl = 0x20000; $WriteDac = 0x40000; $WriteOwner = 0x80000
$InheritOnly = 2; $NoPropagate = 1; $ObjectInherit = 1; $ContainerInherit = 2
# The file generic mapping: GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE, GENERIC_ALL.
$GenericMapping = @(
    @([long]2147483648, [long]0x120089), @([long]0x40000000, [long]0x120116),
    @([long]0x20000000, [long]0x1200A0), @([long]0x10000000, [long]0x1F01FF))
# What lets an account change a folder on the way, or move what it holds away.
$WayRights = $DeleteChild -bor $Delete -bor $WriteDac -bor $WriteOwner
# The stock application-data folder's entry for Users on every folder below
# it: create files (write), create folders (append), write extended
# attributes and attributes; container-inherit, propagating.
$StockRights = [long]0x116
# Said of every remedy that has icacls change a folder's list: Windows then
# works out the lists of everything below it, by name, as the administrator.
$WalkNote = ' (Windows then rewrites everything below it as an administrator, and may follow a link there: only once the audit finds no Link or HardLink)'

# ---------------------------------------------------------------------------
# What Windows says, as plain data. The tests replace these.

function Get-AppDataFolder {
    [Environment]::GetFolderPath('CommonApplicationData')
}

# The 32-bit program-files folder, whose list the tool copies.
function Get-ProgramFilesFolder {
    [Environment]::GetFolderPath('ProgramFilesX86')
}

# An item as the audit sees it: whether it exists and is a folder, whether it
# is a reparse point, whether (a file) it has more than one name, its owner's
# SID, whether its list is protected (inherits nothing), and its access
# entries (explicit and inherited, in order: SID, Allow or Deny, rights,
# inherited, inheritance and propagation flags, as numbers).
# The list of a reparse point is not read: reading it by name may follow it.
# Error holds why it could not be read.
function Get-ItemFacts {
    param([string]$Path)
    $facts = [ordered]@{ Path = $Path; Exists = $false; IsFolder = $false; IsReparsePoint = $false
        IsHardLinked = $false; Owner = $null; Protected = $false; Entries = @(); Error = $null }
    try {
        $item = Get-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue
        if ($null -eq $item) {
            return [pscustomobject]$facts
        }
        $facts.Exists = $true
        $facts.IsFolder = [bool]$item.PSIsContainer
        $facts.IsReparsePoint = [bool]($item.Attributes -band [System.IO.FileAttributes]::ReparsePoint)
        if ($facts.IsReparsePoint) {
            return [pscustomobject]$facts
        }
        $facts.IsHardLinked = -not $item.PSIsContainer -and "$($item.LinkType)" -eq 'HardLink'
        $acl = Get-Acl -LiteralPath $Path
        $facts.Owner = $acl.GetOwner([System.Security.Principal.SecurityIdentifier]).Value
        # The list as Windows holds it: GetAccessRules leaves out conditional
        # (callback) entries, which may grant.
        $raw = New-Object System.Security.AccessControl.RawSecurityDescriptor -ArgumentList @(, $acl.GetSecurityDescriptorBinaryForm()), 0
        $facts.Protected = [bool]($raw.ControlFlags -band [System.Security.AccessControl.ControlFlags]::DiscretionaryAclProtected)
        $facts.Entries = if ($null -eq $raw.DiscretionaryAcl) {
            # No list at all admits everyone.
            @([pscustomobject]@{ Sid = 'S-1-1-0'; Type = 'Allow'; Rights = [long]0x1F01FF; Inherited = $false; Inheritance = 0; Propagation = 0 })
        } else {
            @(foreach ($ace in $raw.DiscretionaryAcl) {
                    $known = $ace -is [System.Security.AccessControl.QualifiedAce]
                    ConvertFrom-RawAce ([pscustomobject]@{
                            Qualifier = $(if ($known) { "$($ace.AceQualifier)" } else { "$($ace.AceType)" })
                            Callback = $known -and $ace.IsCallback; Sid = $(if ($known) { $ace.SecurityIdentifier.Value })
                            Mask = [long]$ace.AccessMask; Flags = [int]$ace.AceFlags
                        })
                })
        }
    } catch {
        $facts.Error = $_.Exception.Message
    }
    [pscustomobject]$facts
}

# What a folder holds, as its listing shows it: each child's full path and
# whether it is a reparse point. Links are listed, never entered.
function Get-ChildPath {
    param([string]$Path)
    @(Get-ChildItem -LiteralPath $Path -Force | ForEach-Object {
            [pscustomobject]@{ Path = $_.FullName; IsReparsePoint = [bool]($_.Attributes -band [System.IO.FileAttributes]::ReparsePoint) }
        })
}

# Whether the agent's key, in the 32-bit view, opens as the tool opens it:
# 'missing', 'full access', or why it refused.
function Get-AgentKeyAccess {
    $machine = [Microsoft.Win32.RegistryKey]::OpenBaseKey([Microsoft.Win32.RegistryHive]::LocalMachine,
        [Microsoft.Win32.RegistryView]::Registry32)
    try {
        $key = $machine.OpenSubKey($AgentKey, [Microsoft.Win32.RegistryKeyPermissionCheck]::ReadWriteSubTree,
            [System.Security.AccessControl.RegistryRights]::FullControl)
        if ($null -eq $key) {
            return 'missing'
        }
        $key.Dispose()
        'full access'
    } catch [System.Security.SecurityException], [System.UnauthorizedAccessException] {
        "refused: $($_.Exception.Message)"
    } finally {
        $machine.Dispose()
    }
}

# SYSTEM with no console and no remote caller: how Intune runs a Remediation,
# and Configuration Manager a configuration item's script.
function Test-UnattendedSystem {
    try {
        -not [Environment]::UserInteractive -and -not (Test-Path -LiteralPath 'variable:PSSenderInfo') -and
            [System.Security.Principal.WindowsIdentity]::GetCurrent().User.Value -eq 'S-1-5-18'
    } catch {
        $false
    }
}

# Whether the Configuration Manager client runs this script: it keeps a
# configuration item's script in its own folder while it runs it.
function Test-ConfigMgrScript {
    [bool]$PSCommandPath -and [bool]$env:windir -and
        $PSCommandPath.StartsWith($env:windir.TrimEnd('\') + '\CCM\', [StringComparison]::OrdinalIgnoreCase)
}

function Resolve-Account {
    param([string]$Sid)
    try {
        (New-Object System.Security.Principal.SecurityIdentifier $Sid).Translate([System.Security.Principal.NTAccount]).Value
    } catch {
        $null
    }
}

# ---------------------------------------------------------------------------
# The access check, over plain data.

# An entry's rights as an unsigned 32-bit mask, generic rights mapped.
function Get-MappedRights {
    param([long]$Rights)
    $mask = $Rights -band [long]4294967295
    foreach ($map in $GenericMapping) {
        if ($mask -band $map[0]) {
            $mask = ($mask -band (-bnot $map[0])) -bor $map[1]
        }
    }
    $mask
}

# One entry of a list as Windows holds it, as the check reads it. A
# conditional allow counts as granting, a conditional deny as denying
# nothing: whether their condition holds is not known here. An entry of a
# kind the check cannot judge makes the item unreadable.
function ConvertFrom-RawAce {
    param($Ace)
    $type = switch ($Ace.Qualifier) {
        'AccessAllowed' { 'Allow' }
        'AccessDenied' { if ($Ace.Callback) { 'ConditionalDeny' } else { 'Deny' } }
        default { throw "its list holds an entry of a kind the audit cannot judge ($($Ace.Qualifier))" }
    }
    $flags = $Ace.Flags
    [pscustomobject]@{
        Sid = $Ace.Sid; Type = $type; Rights = $Ace.Mask; Inherited = [bool]($flags -band 0x10)
        Inheritance = $flags -band 3; Propagation = [int][bool]($flags -band 4) + 2 * [int][bool]($flags -band 8)
        Conditional = [bool]$Ace.Callback
    }
}

# What an account holding the SIDs in Token may do on an object with this
# owner and these entries, by the access check of [MS-DTYP] 2.5.3.2 asked for
# MAXIMUM_ALLOWED, without privileges. Hands back Granted (the mask) and
# Sources: for each right granted, the SID to which it was granted and how
# ('owner', 'OWNER RIGHTS entry', 'explicit entry', 'inherited entry') and
# the entry itself.
function Get-EffectiveAccess {
    param([string]$Owner, $Entries, [string[]]$Token)
    $granted = [long]0
    $denied = [long]0
    $sources = @{}
    $isOwner = [bool]$Owner -and $Token -contains $Owner
    $applying = @($Entries | Where-Object { -not ($_.Propagation -band $InheritOnly) })
    if ($isOwner -and -not ($applying | Where-Object { $_.Sid -eq $OwnerRights })) {
        $granted = [long]($ReadControl -bor $WriteDac)
        foreach ($bit in $ReadControl, $WriteDac) { $sources[[long]$bit] = @{ Sid = $Owner; How = 'owner'; Entry = $null } }
    }
    foreach ($entry in $applying) {
        $owners = $entry.Sid -eq $OwnerRights -and $isOwner
        if (-not $owners -and $Token -notcontains $entry.Sid) {
            continue
        }
        $mask = Get-MappedRights $entry.Rights
        if ($entry.Type -eq 'Deny') {
            $denied = $denied -bor ($mask -band (-bnot $granted))
            continue
        }
        if ($entry.Type -ne 'Allow') {
            continue
        }
        $new = $mask -band (-bnot ($granted -bor $denied))
        $granted = $granted -bor $new
        $how = if ($owners) { 'OWNER RIGHTS entry' } elseif ($entry.Inherited) { 'inherited entry' } else { 'explicit entry' }
        $sid = if ($owners) { $Owner } else { $entry.Sid }
        for ($bit = [long]1; $bit -le $new; $bit = $bit * 2) {
            if ($new -band $bit) { $sources[$bit] = @{ Sid = $sid; How = $how; Entry = $entry } }
        }
    }
    [pscustomobject]@{ Granted = $granted; Sources = $sources }
}

# The entries Windows gives a new child of a folder with these entries, owned
# by Owner (the ACE inheritance rules: object-inherit entries pass to files,
# container-inherit entries to folders, and on to their children unless
# no-propagate; CREATOR OWNER becomes the child's owner, and generic rights
# are mapped, in the entry that applies to the child, with an inherit-only
# copy kept for what is created below it). Each carries From: the entry it
# came from.
function Get-InheritedEntries {
    param($Parent, [bool]$IsFolder, [string]$Owner)
    foreach ($entry in $Parent) {
        $toFiles = $entry.Inheritance -band $ObjectInherit
        $toFolders = $entry.Inheritance -band $ContainerInherit
        $stops = $entry.Propagation -band $NoPropagate
        $base = @{ Type = $entry.Type; Inherited = $true; From = $entry }
        $sid = if ($entry.Sid -eq $CreatorOwner) { $Owner } elseif ($entry.Sid -match $Placeholder -and $entry.Sid -ne $OwnerRights) { $null } else { $entry.Sid }
        $applies = if ($IsFolder) { $toFolders } else { $toFiles }
        $passesOn = $IsFolder -and -not $stops -and ($toFiles -or $toFolders)
        $mapped = Get-MappedRights $entry.Rights
        $split = $passesOn -and $applies -and ($sid -ne $entry.Sid -or $mapped -ne ($entry.Rights -band [long]4294967295))
        if ($applies -and $sid) {
            $flags = if ($passesOn -and -not $split) { $entry.Inheritance } else { 0 }
            [pscustomobject]($base + @{ Sid = $sid; Rights = $mapped; Inheritance = $flags; Propagation = 0 })
        }
        if ($passesOn -and (-not $applies -or $split)) {
            [pscustomobject]($base + @{ Sid = $entry.Sid; Rights = $entry.Rights; Inheritance = $entry.Inheritance; Propagation = $InheritOnly })
        }
    }
}

# The ways of logging on to ask about for these entries: interactive alone,
# unless an entry names how an account logged on.
function Get-LogonWays {
    param($Entries)
    $ways = @(, $Interactive)
    if (@($Entries | Where-Object { $LogonSids -contains $_.Sid }).Count) {
        $ways = $LogonWays
    }
    , $ways
}

# The accounts asked about on an object: a standard user, an account outside
# Users, and each other account that owns it or is named in its entries,
# with a standard user's groups; each for every way of logging on that an
# entry tells apart.
function Get-AskedToken {
    param([string]$Owner, $Entries)
    $named = @($Entries | ForEach-Object { $_.Sid })
    $others = @(@($Owner) + $named | Where-Object {
            $_ -and -not $Trusted.ContainsKey($_) -and $_ -notmatch $Placeholder -and $StandardUser -notcontains $_ -and
                $Outsider -notcontains $_ -and $LogonSids -notcontains $_
        } | Sort-Object -Unique)
    foreach ($way in (Get-LogonWays $Entries)) {
        , ($StandardUser + $way)
        , ($Outsider + $way)
        foreach ($sid in $others) {
            , (@($sid) + $StandardUser + $way)
        }
    }
}

# Whether an entry is the stock application-data folder's entry for Users,
# as it reaches every folder below: the rights, container-inherit, passed on.
function Test-StockEntry {
    param($Entry)
    $Entry.Type -eq 'Allow' -and $Entry.Sid -eq $Users -and (Get-MappedRights $Entry.Rights) -eq $StockRights -and
        $Entry.Inheritance -eq $ContainerInherit -and $Entry.Propagation -eq 0
}

# Whether the way down to Downloads passes that entry on unchanged: the
# application-data folder holds it, each folder on the way inherits it, and
# none of them adds an entry of its own for Users that reaches below it.
function Test-StockWay {
    param($AppData, $Way)
    if (-not @($AppData.Entries | Where-Object { Test-StockEntry $_ }).Count) {
        return $false
    }
    foreach ($folder in $Way) {
        $inherits = @($folder.Entries | Where-Object { $_.Inherited -and (Test-StockEntry $_) }).Count
        $adds = @($folder.Entries | Where-Object { -not $_.Inherited -and $_.Sid -eq $Users -and ($_.Inheritance -band $ContainerInherit) }).Count
        if (-not $inherits -or $adds) {
            return $false
        }
    }
    $true
}

# The rights in Mask that the asked accounts hold on an object, grouped by the
# SID they were granted to and how: one object each with Sid, How, AsOwner
# (granted as the owner, which no reset changes), Rights, Entry, IsBaseline
# (with -Baseline: granted by an inherited stock entry) and Lasting: with
# Reset (the entries the object would have after its list is written anew),
# the rights an entry grants that Reset would grant to the same SID again.
function Get-OtherAccess {
    param([string]$Owner, $Entries, [long]$Mask, $Reset = $null, [switch]$Baseline)
    $found = [ordered]@{}
    foreach ($token in Get-AskedToken $Owner $Entries) {
        $access = Get-EffectiveAccess -Owner $Owner -Entries $Entries -Token $token
        $after = if ($null -ne $Reset) { Get-EffectiveAccess -Owner $Owner -Entries $Reset -Token $token } else { $null }
        foreach ($bit in @($access.Sources.Keys)) {
            $source = $access.Sources[$bit]
            if (-not ($bit -band $Mask) -or $Trusted.ContainsKey($source.Sid)) {
                continue
            }
            $isBaseline = $Baseline -and $source.How -eq 'inherited entry' -and (Test-StockEntry $source.Entry)
            $key = "$($source.Sid)|$($source.How)|$isBaseline"
            if (-not $found.Contains($key)) {
                $asOwner = $source.How -eq 'owner' -or $source.How -eq 'OWNER RIGHTS entry'
                $found[$key] = @{ Sid = $source.Sid; How = $source.How; AsOwner = $asOwner; Rights = [long]0; Lasting = [long]0
                    Entry = $source.Entry; IsBaseline = $isBaseline }
            }
            $found[$key].Rights = $found[$key].Rights -bor $bit
            if (-not $found[$key].AsOwner -and $after -and $after.Sources.ContainsKey($bit) -and $after.Sources[$bit].Sid -eq $source.Sid) {
                $found[$key].Lasting = $found[$key].Lasting -bor $bit
            }
        }
    }
    foreach ($value in $found.Values) { [pscustomobject]$value }
}

# What an owner may do on an object through its own SID: as the owner,
# through OWNER RIGHTS, and through entries naming it (those Windows made from
# CREATOR OWNER among them).
function Get-OwnerRights {
    param([string]$Owner, $Entries, [long]$Mask)
    $rights = [long]0
    foreach ($way in (Get-LogonWays $Entries)) {
        $access = Get-EffectiveAccess -Owner $Owner -Entries $Entries -Token (@($Owner) + $StandardUser + $way)
        foreach ($bit in @($access.Sources.Keys)) {
            if ($access.Sources[$bit].Sid -eq $Owner) { $rights = $rights -bor $bit }
        }
    }
    $rights -band $Mask
}

# What a standard user may do on an object, by name: for people and tests.
function Get-StandardUserRights {
    param([string]$Owner, $Entries, [bool]$IsFolder)
    $granted = [long]0
    foreach ($way in (Get-LogonWays $Entries)) {
        $granted = $granted -bor (Get-EffectiveAccess -Owner $Owner -Entries $Entries -Token ($StandardUser + $way)).Granted
    }
    Get-RightName $granted $IsFolder
}

# The entries an item inside Downloads is left with by the tool's next write:
# its own list where it is protected or the tool leaves what lies above it
# (ParentAfter $null); else its explicit entries, then what the parent's new
# list passes it for its owner.
function Get-RepairedEntries {
    param($Item, $ParentAfter)
    if ($null -eq $ParentAfter -or $Item.Protected -or $Item.IsHardLinked) {
        return $Item.Entries
    }
    @($Item.Entries | Where-Object { -not $_.Inherited }) + @(Get-InheritedEntries $ParentAfter $Item.IsFolder $Item.Owner)
}

# ---------------------------------------------------------------------------
# Findings, over plain data.

function Get-RightName {
    param([long]$Rights, [bool]$IsFolder)
    $names = if ($IsFolder) {
        @(@($Write, 'write (create files)'), @($Append, 'append (create folders)'), @($DeleteChild, 'delete children'),
            @($WriteAttributes, 'write attributes (an empty folder can be made a junction)'))
    } else {
        @(@($Write, 'write'), @($Append, 'append'))
    }
    $names += @(@($Delete, 'delete'), @($WriteDac, 'change permissions'), @($WriteOwner, 'take ownership'))
    @($names | Where-Object { $Rights -band $_[0] } | ForEach-Object { $_[1] }) -join ', '
}

# Quoted for PowerShell: a single-quoted string, so that nothing in a path is
# read as code or splits an argument.
function Format-Quoted {
    param([string]$Text)
    "'" + $Text.Replace("'", "''") + "'"
}

function New-Finding {
    param([string]$Kind, [string]$Path, [string]$Sid, [string]$Allows, [string]$Why, [string]$Remedy)
    [pscustomobject][ordered]@{
        Path = $Path; Sid = $Sid; Account = $(if ($Sid) { Resolve-Account $Sid }); Allows = $Allows; Why = $Why; Remedy = $Remedy; Kind = $Kind
    }
}

# How an account came by its rights, in words.
function Format-How {
    param($Grant)
    switch ($Grant.How) {
        'owner' { 'as its owner, who may always change its list' }
        'OWNER RIGHTS entry' { 'as its owner, through an OWNER RIGHTS entry' }
        default {
            $entry = $Grant.Entry
            $reach = if ($entry.Inheritance) { ", inheritance $($entry.Inheritance)/$($entry.Propagation)" } else { '' }
            "through an $($Grant.How) ($(Format-Entry $entry)$reach)"
        }
    }
}

# What the asked accounts may do on what is created inside a folder (by
# SYSTEM, the agent, and so owned by Administrators) through the entries it
# passes on, beyond what the same account may already do on the folder
# itself; with Reset (the folder's entries after a reset), leaving out what a
# reset would give back. One object per SID: Sid, Rights and Entry, the
# folder's entry that passes it on.
function Find-NewChildAccess {
    param($Folder, $Reset = $null)
    $own = @{}
    foreach ($grant in Get-OtherAccess $Folder.Owner $Folder.Entries (Get-CountedRights $true)) {
        $own[$grant.Sid] = [long]$own[$grant.Sid] -bor $grant.Rights
    }
    $found = [ordered]@{}
    foreach ($isFolder in $true, $false) {
        $entries = @(Get-InheritedEntries $Folder.Entries $isFolder $Administrators)
        $after = $null
        if ($null -ne $Reset) { $after = @(Get-InheritedEntries $Reset $isFolder $Administrators) }
        foreach ($grant in Get-OtherAccess $Administrators $entries (Get-CountedRights $isFolder) -Reset $after) {
            $rights = $grant.Rights -band (-bnot ($grant.Lasting -bor [long]$own[$grant.Sid]))
            if (-not $rights) { continue }
            if (-not $found.Contains($grant.Sid)) {
                $found[$grant.Sid] = @{ Sid = $grant.Sid; Rights = [long]0; Entry = $grant.Entry.From }
            }
            $found[$grant.Sid].Rights = $found[$grant.Sid].Rights -bor $rights
        }
    }
    foreach ($value in $found.Values) { [pscustomobject]$value }
}

# What counts on Downloads and inside it: what changes an item or what a
# folder holds. Write attributes lets an account make an empty folder a
# junction ([MS-FSA] 2.1.5.10.37 asks for write data or write attributes).
function Get-CountedRights {
    param([bool]$IsFolder)
    $rights = $Write -bor $Append -bor $Delete -bor $WriteDac -bor $WriteOwner
    if ($IsFolder) { $rights = $rights -bor $DeleteChild -bor $WriteAttributes }
    $rights
}

function Format-Entry {
    param($Entry)
    '{0} 0x{1:X8}' -f $(if ($Entry.PSObject.Properties['Conditional'] -and $Entry.Conditional) { 'conditional Allow' } else { 'Allow' }),
        ([long]$Entry.Rights -band [long]4294967295)
}

# An account as a person reads it: its name where it resolves, else its SID.
function Format-Account {
    param([string]$Sid)
    $name = Resolve-Account $Sid
    if ($name) { $name } else { $Sid }
}

# Downloads itself. After: the entries the tool's next write leaves (the
# program-files folder's entries, as its own, and what the parent passes on
# for the current owner unless the list is protected). Baseline: whether a grant
# through the stock application-data entry is the stock baseline here.
function Find-DownloadsExposure {
    param($Downloads, $After, [bool]$Baseline)
    $quoted = Format-Quoted $Downloads.Path
    $owner = $Downloads.Owner
    $rewrite = 'it replaces Downloads'' explicit entries with the program-files folder''s entries and works out the inherited ones anew'
    $dropInheritance = "If removing inheritance is your decision: icacls $quoted /inheritance:r /c /l (the copied entries stay)$WalkNote"
    $takeOwnership = "icacls $quoted /setowner '*$Administrators' /c /l"
    $takeOwnershipThenTool = "$takeOwnership; then run the tool: $rewrite"
    $reviewCopied = 'The program-files folder''s own list grants this, and the tool copies it: review that folder''s list'
    $stock = 'through the entry a stock application-data folder gives Users on every folder below it, inherited unchanged: the same on every machine whose agent folder inherits from a stock ProgramData'
    $counted = Get-CountedRights $true
    # What each SID may do now, on Downloads and on what is created in it.
    $held = @{}
    $passed = @{}
    $ownerSeen = $false
    foreach ($grant in Get-OtherAccess $owner $Downloads.Entries $counted -Reset $After -Baseline:$Baseline) {
        $held[$grant.Sid] = [long]$held[$grant.Sid] -bor $grant.Rights
        $ownerSeen = $ownerSeen -or $grant.Sid -eq $owner
        $why = "may change Downloads: $(Format-How $grant)"
        if ($grant.AsOwner) {
            New-Finding Access $Downloads.Path $grant.Sid (Get-RightName $grant.Rights $true) $why $takeOwnership
            continue
        }
        if ($grant.IsBaseline) {
            New-Finding Baseline $Downloads.Path $grant.Sid (Get-RightName $grant.Rights $true) "may change Downloads: $stock; the tool keeps it" $dropInheritance
            continue
        }
        $passing = $grant.Rights -band (-bnot $grant.Lasting)
        if ($passing) {
            $remedy = if ($grant.Sid -eq $owner) { $takeOwnershipThenTool } else { "Run the tool: $rewrite" }
            New-Finding Access $Downloads.Path $grant.Sid (Get-RightName $passing $true) "$why; the tool's next write takes it away" $remedy
        }
        if ($grant.Lasting) {
            $remedy = if ($grant.Sid -eq $owner) { $takeOwnershipThenTool }
            elseif ($grant.How -eq 'inherited entry') { $dropInheritance }
            else { $reviewCopied }
            New-Finding Access $Downloads.Path $grant.Sid (Get-RightName $grant.Lasting $true) "$why; the tool keeps it" $remedy
        }
    }
    foreach ($grant in Find-NewChildAccess $Downloads) {
        $passed[$grant.Sid] = $grant.Rights
        $remedy = if ($grant.Entry.Inherited) { $dropInheritance } else { "Run the tool: $rewrite" }
        New-Finding Access $Downloads.Path $grant.Sid (Get-RightName $grant.Rights $true) `
            "may change what is created inside Downloads: an entry Downloads passes on gives it ($(Format-Entry $grant.Entry))" $remedy
    }
    # What exists only once the tool has written.
    foreach ($grant in Get-OtherAccess $owner $After $counted -Baseline:$Baseline) {
        $rights = $grant.Rights -band (-bnot [long]$held[$grant.Sid])
        if (-not $rights) {
            continue
        }
        $ownerSeen = $ownerSeen -or $grant.Sid -eq $owner
        $who = Format-Account $grant.Sid
        if ($grant.IsBaseline) {
            New-Finding Baseline $Downloads.Path $grant.Sid (Get-RightName $rights $true) "after the repair, $who may change Downloads: $stock" $dropInheritance
            continue
        }
        # An entry for the owner comes from CREATOR OWNER: it follows the owner.
        $remedy = if ($grant.AsOwner -or $grant.Sid -eq $owner) { $takeOwnership }
        elseif ($grant.How -eq 'inherited entry') { $dropInheritance }
        else { $reviewCopied }
        New-Finding AfterRepair $Downloads.Path $grant.Sid (Get-RightName $rights $true) "after the repair, $who may change Downloads: $(Format-How $grant)" $remedy
    }
    foreach ($grant in Find-NewChildAccess ([pscustomobject]@{ Owner = $owner; Entries = $After })) {
        $rights = $grant.Rights -band (-bnot [long]$passed[$grant.Sid])
        if ($rights) {
            $remedy = if ($grant.Entry.Inherited) { $dropInheritance } else { $reviewCopied }
            New-Finding AfterRepair $Downloads.Path $grant.Sid (Get-RightName $rights $true) `
                "after the repair, $(Format-Account $grant.Sid) may change what is created inside Downloads: an entry Downloads passes on gives it ($(Format-Entry $grant.Entry))" $remedy
        }
    }
    if ($owner -and -not $Trusted.ContainsKey($owner) -and -not $ownerSeen) {
        New-Finding Access $Downloads.Path $owner '' `
            'owns Downloads: an OWNER RIGHTS entry holds its rights back for now, but a list written without that entry gives them back' $takeOwnership
    }
}

# A folder on the way (or the application-data folder itself): who may take
# it over or move what it holds.
function Find-WayExposure {
    param($Folder)
    $quoted = Format-Quoted $Folder.Path
    foreach ($grant in Get-OtherAccess $Folder.Owner $Folder.Entries $WayRights) {
        $remove = "icacls $quoted /remove:g $(Format-Quoted ('*' + $grant.Sid)) /c /l"
        $remedy = switch ($grant.How) {
            'explicit entry' { "$remove$WalkNote" }
            'inherited entry' { "icacls $quoted /inheritance:d /c /l; $remove (the inherited entries become explicit, then this account's go)$WalkNote" }
            default { "icacls $quoted /setowner '*$Administrators' /c /l" }
        }
        New-Finding Access $Folder.Path $grant.Sid (Get-RightName $grant.Rights $true) `
            "may rename or replace what this folder on the way to Downloads holds, or take it over: $(Format-How $grant)" $remedy
    }
}

# A folder on the way that does not exist: who may create it in the folder
# above, and would then own it.
function Find-CreateExposure {
    param($Parent, [string]$Path)
    foreach ($grant in Get-OtherAccess $Parent.Owner $Parent.Entries $Append) {
        New-Finding Access $Parent.Path $grant.Sid (Get-RightName $grant.Rights $true) `
            "may create $($Path.Substring($Path.LastIndexOf('\') + 1)), which the agent has not made yet, and would own it: $(Format-How $grant)" `
            "Create it as an administrator before anyone else does: New-Item -ItemType Directory -Path $(Format-Quoted $Path)"
    }
}

# One item inside Downloads that could be read. Reset: the entries it would
# have after Administrators take ownership and what lies inside is reset
# (icacls /reset); After: those the tool's next write leaves it; Parent: its
# folder's entries now; Left: whether the tool leaves it as it is (it lies
# below a protected list).
function Find-ItemExposure {
    param($Item, $Reset, $After, $Parent, [bool]$Left)
    $quoted = Format-Quoted $Item.Path
    if ($Item.IsHardLinked) {
        New-Finding HardLink $Item.Path $Item.Owner '' `
            'a file with more than one name: a change to its list through Downloads changes it wherever its other names lie; the tool leaves it as it is (status 681)' `
            "fsutil hardlink list $quoted shows its names; Remove-Item -LiteralPath $quoted removes this one only"
    }
    $runTool = 'Run the tool: it works out the inherited entries of what lies inside Downloads anew'
    $resetItem = "icacls $quoted /reset /c /l (its explicit entries go)$(if ($Item.IsFolder) { $WalkNote })"
    # Below a protected list the tool leaves everything as it is.
    $inherited = if ($Left) { $resetItem } else { $runTool }
    $counted = Get-CountedRights $Item.IsFolder
    if ($Item.Owner -and -not $Trusted.ContainsKey($Item.Owner)) {
        # Now, once the tool writes its list, and once it is reset while it
        # still owns it (which drops an OWNER RIGHTS entry).
        $rights = (Get-OwnerRights $Item.Owner $Item.Entries $counted) -bor (Get-OwnerRights $Item.Owner $After $counted) -bor
            (Get-OwnerRights $Item.Owner @(Get-InheritedEntries $Parent $Item.IsFolder $Item.Owner) $counted)
        New-Finding Access $Item.Path $Item.Owner (Get-RightName $rights $Item.IsFolder) `
            ('may change this item inside Downloads, which it owns: as its owner and through the entries Windows makes for its owner from CREATOR OWNER, ' +
                'now or once the tool or a reset works out its list anew') `
            "icacls $quoted /setowner '*$Administrators' /c /l; then $($inherited.Substring(0, 1).ToLower())$($inherited.Substring(1))"
    }
    foreach ($grant in Get-OtherAccess $Item.Owner $Item.Entries $counted -Reset $Reset) {
        $rights = $grant.Rights -band (-bnot $grant.Lasting)
        if ($grant.Sid -eq $Item.Owner -or -not $rights) {
            # The owner's own finding holds it; or a reset gives it back: it
            # comes from Downloads or above, and is reported there.
            continue
        }
        $mapped = if ($grant.How -eq 'inherited entry') { ' (an entry Windows made from CREATOR OWNER for an earlier owner stays until the list is worked out anew)' } else { '' }
        New-Finding Access $Item.Path $grant.Sid (Get-RightName $rights $Item.IsFolder) `
            "may change this item inside Downloads: $(Format-How $grant)$mapped" $(if ($grant.How -eq 'inherited entry') { $inherited } else { $resetItem })
    }
    if ($Item.IsFolder) {
        foreach ($grant in Find-NewChildAccess $Item $Reset) {
            New-Finding Access $Item.Path $grant.Sid (Get-RightName $grant.Rights $true) `
                "may change what is created inside this folder: an entry it passes on gives it ($(Format-Entry $grant.Entry))" $(if ($grant.Entry.Inherited) { $inherited } else { $resetItem })
        }
    }
}

function New-NotSeen {
    param([string]$Path, [string]$Why, [string]$Remedy = 'Run the audit again as SYSTEM or elevated; take ownership of what still cannot be read')
    New-Finding NotSeen $Path $null '' "not seen: $Why" $Remedy
}

function New-LinkFinding {
    param([string]$Path, [string]$Where)
    $quoted = Format-Quoted $Path
    New-Finding Link $Path $null '' "a reparse point (junction, symbolic link, mount point or other) $Where" `
        ("Find out who made it; fsutil reparsepoint query $quoted shows its kind; for a junction (tag 0xA0000003) or symbolic link (0xA000000C), " +
            "(Get-Item -LiteralPath $quoted -Force).Delete() removes the link, not what it leads to")
}

# Walks the tree inside Downloads breadth first, entering no reparse point,
# until it has seen MaxItems items or spent MaxSeconds, and hands back every
# finding inside. What it could not see is a NotSeen finding. After: the
# entries the tool's next write leaves on Downloads.
function Find-TreeExposure {
    param($Downloads, $After, [int]$MaxItems, [int]$MaxSeconds)
    $clock = [System.Diagnostics.Stopwatch]::StartNew()
    $linkInside = 'inside Downloads: the tool leaves it as it is (status 681), and icacls may follow it where a remedy has it rewrite what lies inside'
    $queue = New-Object System.Collections.Queue
    # Each folder with its entries now, after a reset, and after the tool's
    # write ($null where the tool leaves what lies inside as it is).
    $queue.Enqueue(@{ Path = $Downloads.Path; Entries = $Downloads.Entries; Reset = $Downloads.Entries; After = $After })
    $seen = 0
    while ($queue.Count -gt 0) {
        $folder = $queue.Dequeue()
        try {
            $children = @(Get-ChildPath $folder.Path)
        } catch {
            New-NotSeen $folder.Path "what this folder holds could not be listed: $($_.Exception.Message)"
            continue
        }
        foreach ($child in $children) {
            if ($seen -ge $MaxItems -or $clock.Elapsed.TotalSeconds -ge $MaxSeconds) {
                return New-NotSeen $Downloads.Path "the walk inside Downloads stopped early, after $seen items: what lies beyond was not looked at" `
                    'Run the audit again with a larger -MaxItems or -MaxSeconds'
            }
            $seen++
            $longName = Format-Quoted ('\\?\' + $child.Path)
            if ($child.IsReparsePoint) {
                New-LinkFinding $child.Path $linkInside
                continue
            }
            if ($child.Path -match '[. ]$') {
                # Windows strips a trailing dot or space from a name it is given, so this name opens another item, or none.
                New-NotSeen $child.Path 'its name ends in a dot or a space, so opening it by name opens something else; it was not looked at' `
                    "Look at it through its full name: Get-Item -LiteralPath $longName -Force; rename it through that name"
                continue
            }
            $facts = Get-ItemFacts $child.Path
            if ($facts.Error) {
                New-NotSeen $child.Path "could not be read: $($facts.Error)"
            } elseif (-not $facts.Exists) {
                New-NotSeen $child.Path 'listed inside Downloads, but it cannot be opened by its name (it has gone since, or its path is too long)' `
                    "Look at it through its full name: Get-Item -LiteralPath $longName -Force"
            } elseif ($facts.IsReparsePoint) {
                New-LinkFinding $child.Path $linkInside
            } else {
                $reset = @(Get-InheritedEntries $folder.Reset $facts.IsFolder $Administrators)
                $after = @(Get-RepairedEntries $facts $folder.After)
                Find-ItemExposure $facts $reset $after $folder.Entries -Left ($null -eq $folder.After)
                if ($facts.IsFolder) {
                    $below = if ($null -ne $folder.After -and -not $facts.Protected) { , $after } else { $null }
                    $queue.Enqueue(@{ Path = $child.Path; Entries = $facts.Entries; Reset = $reset; After = $below })
                }
            }
        }
    }
}

# Every finding on this machine. TrustedSid: accounts trusted beside SYSTEM,
# Administrators and TrustedInstaller.
function Get-Exposure {
    param([int]$MaxItems, [int]$MaxSeconds, [string[]]$TrustedSid = @())
    # Seen by every function this one calls.
    $Trusted = $Trusted.Clone()
    foreach ($sid in $TrustedSid) { $Trusted[$sid] = 'trusted by -TrustedSid' }
    $key = Get-AgentKeyAccess
    if ($key -like 'refused*') {
        New-Finding Key "HKLM\$AgentKey (32-bit view)" $null 'full access refused' `
            "the agent's key refuses full access: the tool opens it for full access and does nothing where it cannot ($key)" `
            'Give SYSTEM full control of the key (regedit, Permissions), or ask the agent''s vendor'
    }
    $appData = Get-AppDataFolder
    if (-not $appData) {
        return New-NotSeen '' 'Windows names no machine-wide application-data folder' 'Check the machine''s shell folders'
    }
    # Built as the tool builds it: one backslash, unless there is one already.
    $path = $appData.TrimEnd('\')
    $above = Get-ItemFacts $path
    if ($above.Error) {
        return New-NotSeen $path "could not be read: $($above.Error)"
    }
    $root = $above
    $way = @()
    Find-WayExposure $above
    foreach ($part in $Suffix) {
        $path = "$path\$part"
        $folder = Get-ItemFacts $path
        if ($folder.Error) {
            return New-NotSeen $folder.Path "could not be read: $($folder.Error)"
        }
        if (-not $folder.Exists) {
            # Nothing to repair; but whoever may create it would own it, once the agent is here.
            if ($key -ne 'missing') {
                Find-CreateExposure $above $path
            }
            return
        }
        if ($folder.IsReparsePoint) {
            return New-LinkFinding $folder.Path 'on the way to Downloads: the tool refuses it (status 681)'
        }
        if (-not $folder.IsFolder) {
            return New-NotSeen $folder.Path 'a file where a folder on the way to Downloads should be: the tool refuses it (status 681 or 267)' `
                'Find out who made it before removing it'
        }
        if ($part -ne $Suffix[-1]) {
            Find-WayExposure $folder
            $above = $folder
            $way += $folder
        }
    }
    # What the tool's next write leaves on Downloads, and passes to what it holds.
    $programFiles = Get-ItemFacts (Get-ProgramFilesFolder)
    if ($programFiles.Error -or -not $programFiles.Exists) {
        return New-NotSeen $programFiles.Path "the program-files folder's list could not be read: $($programFiles.Error)"
    }
    # Every entry of the program-files folder, each as Downloads' own.
    $after = @($programFiles.Entries | ForEach-Object { $copy = $_.PSObject.Copy(); $copy.Inherited = $false; $copy })
    if (-not $folder.Protected) {
        $after += @(Get-InheritedEntries $above.Entries $true $folder.Owner)
    }
    $baseline = -not $folder.Protected -and (Test-StockWay $root $way)
    Find-DownloadsExposure $folder $after $baseline
    Find-TreeExposure $folder $after -MaxItems $MaxItems -MaxSeconds $MaxSeconds
}

# The one line of -Summary, at most 2,048 characters (what an Intune
# Remediation shows), and the exit status that goes with it: 1 where anything
# needs action (with IncludeBaseline, the stock baseline too), else 0.
function Format-ExposureSummary {
    param($Findings, [switch]$IncludeBaseline)
    $found = @($Findings | Where-Object { $_ })
    $act = @($found | Where-Object { $IncludeBaseline -or $_.Kind -ne 'Baseline' })
    $note = ''
    $base = @($found | Where-Object { $_.Kind -eq 'Baseline' })
    if ($base.Count) {
        $counted = if ($IncludeBaseline) { 'counted' } else { 'not counted' }
        $note = "; the stock baseline ($counted): $(Format-Who $base[0]) may $($base[0].Allows) on $($base[0].Path)"
    }
    if ($act.Count -eq 0) {
        return [pscustomobject]@{ Line = Limit-Line "no exposure that needs action, everything seen$note"; Status = 0 }
    }
    $kinds = @($act | Group-Object -Property Kind | Sort-Object -Property Count -Descending | ForEach-Object { '{0} {1}' -f $_.Count, $_.Name })
    $seen = if (@($act | Where-Object { $_.Kind -eq 'NotSeen' }).Count) { 'not everything seen' } else { 'everything seen' }
    $tail = " | $($act.Count) finding(s) need action ($($kinds -join ', ')), $seen$note"
    $first = $act[0]
    $who = if ($first.Sid) { " [$(Format-Who $first): $($first.Allows)]" } else { '' }
    $remedy = ". Remedy: $($first.Remedy)"
    $head = "needs action: $($first.Kind) $($first.Path): "
    # The reason gives way first where the line would be too long.
    $room = 2048 - $head.Length - $who.Length - $remedy.Length - $tail.Length
    $why = "$($first.Why)"
    if ($why.Length -gt $room) {
        $why = $why.Substring(0, [Math]::Max(0, $room - 3)) + '...'
    }
    [pscustomobject]@{ Line = Limit-Line "$head$why$who$remedy$tail"; Status = 1 }
}

function Format-Who {
    param($Finding)
    if ($Finding.Account) { $Finding.Account } else { $Finding.Sid }
}

# A line cut to 2,048 characters, the most an Intune Remediation shows.
function Limit-Line {
    param([string]$Line)
    if ($Line.Length -le 2048) { $Line } else { $Line.Substring(0, 2045) + '...' }
}

# Dot-sourced (as the tests do), the script only defines its functions.
if ($MyInvocation.InvocationName -eq '.') {
    return
}
if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
    # One line on standard error in 5.1 and 7 alike.
    $global:ErrorView = 'CategoryView'
    Write-Error -Category SecurityError -CategoryActivity 'Get-DownloadsExposure.ps1' `
        -CategoryTargetName $ExecutionContext.SessionState.LanguageMode `
        -CategoryReason 'needs FullLanguage; use the signed copy' -Message 'needs FullLanguage mode' -ErrorAction Continue
    exit 1
}
if (-not $PSBoundParameters.ContainsKey('Summary')) {
    $Summary = [switch](Test-UnattendedSystem)
}
# The Configuration Manager client reads any status but 0 as a failure to
# discover; the line is the value its compliance rule checks.
$failed = if (Test-ConfigMgrScript) { 0 } else { 1 }
try {
    $findings = @(Get-Exposure -MaxItems $MaxItems -MaxSeconds $MaxSeconds -TrustedSid $TrustedSid)
} catch {
    if (-not $Summary) {
        throw
    }
    # Remediations show this line; the device counts as needing attention.
    Write-Output (Limit-Line "the audit failed: $($_.Exception.Message)")
    exit $failed
}
if ($Summary) {
    $verdict = Format-ExposureSummary $findings -IncludeBaseline:$IncludeBaseline
    Write-Output $verdict.Line
    exit $(if ($verdict.Status) { $failed } else { 0 })
}
$findings
